// Any bytes as a scenario text of either dialect: the header parse, both
// list walks to their end, the cursor operations over the body and the
// console conversion must stay inside the text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>

#include "FuzzSupport.h"
#include "scenario/ConsoleText.h"
#include "scenario/KervScenario.h"
#include "scenario/PKervScenario.h"

void exitProcess(int status) { throwFatal(status); }

namespace {

void walk(Scenario& s, std::ostream& out) {
  try {
    s.printInfo();
  } catch (const FatalExit&) {
  }
  s.printTitle(0);
  while (char* entry = s.nextFileName()) writeText(out, entry, static_cast<int>(std::strlen(entry)), 0);
  while (char* entry = s.nextSecondEntry()) writeText(out, entry, static_cast<int>(std::strlen(entry)), 1);
  s.rewind();
  while (s.skipSeparators()) {
    out << s.currentChar() << s.getChar(0) << s.isCommandStart() << s.isString("R") << s.getVersion();
    if (s.isDigit()) {
      out << s.getInt();
    } else if (s.isChar('@')) {
      out << s.getNumber();
    } else {
      s.skip();
    }
  }
  out << s.isInside(s.getPointer()) << s.isBeyond(s.getPointer()) << s.getBodySize() << s.getWaitingTime();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  silenceConsole();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65535) return 0;
  const char* bytes = reinterpret_cast<const char*>(data);
  int length = static_cast<int>(size);
  std::ostringstream out;
  KervScenario kerv(bytes, length);
  out << kerv.getHeaderValue();
  walk(kerv, out);
  PKervScenario pkerv(bytes, length);
  walk(pkerv, out);
  writeText(out, bytes, length, 0);
  return 0;
}
