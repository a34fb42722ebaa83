// Any bytes through the code page 932 codec and the scenario text round
// trip: nothing reads or writes outside its buffers, what decodes encodes,
// and a scenario's text put back unedited gives its bytes exactly.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "scenario/Cp932.h"
#include "scenario/ExtractName.h"
#include "scenario/ScenarioText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  // As Shift_JIS: what decodes encodes again, to a code of the same characters.
  std::string text;
  if (cp932::toUtf8Strictly(bytes, text)) {
    std::string again, back;
    if (!cp932::fromUtf8(text, again) || !cp932::toUtf8Strictly(again, back)) abort();
    std::string twice;
    if (!cp932::fromUtf8(back, twice) || twice != again) abort();
  }
  cp932::toUtf8(bytes, cp932::Undecodable::escape);
  extractName(bytes, false, true);
  extractName(bytes, true, false);

  // As a scenario: its text, unedited, gives back its bytes.
  const std::string shown = cp932::toUtf8(bytes, cp932::Undecodable::replace);
  std::string stored;
  TextError error;
  if (!textToScenario(shown, bytes, stored, &error) || stored != bytes) abort();

  // As UTF-8 text edited against itself as the original.
  std::string encoded;
  if (cp932::fromUtf8(bytes, encoded)) {
    std::string out;
    textToScenario(bytes, encoded, out, &error);
  }
  return 0;
}
