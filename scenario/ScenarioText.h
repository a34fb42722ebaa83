// A scenario as text for people to edit, in UTF-8, and the edited text
// back as the bytes a scenario holds, kept byte for byte where it was not
// edited.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Where textToScenario stopped.
struct TextError {
  std::size_t line;    // from 1
  std::size_t column;  // from 1, in characters
  std::size_t index;   // characters before it in the text as given (a byte order mark included)
  char32_t c;          // the character, or cp932::kNotUtf8
  // "<line>:<column>: U+<hex> '<character>' has no code in Shift_JIS (code page 932)".
  std::string message() const;
};

// The bytes of the edited scenario `text` (UTF-8). A byte order mark at its
// start is dropped, and an LF that no CR precedes becomes CR LF. A line
// (with its line end) that reads as a line of `original`, the scenario as
// stored, gets that line's bytes back, so that what was not edited stays
// byte for byte even where a character has several codes or a byte none:
// the k-th line that reads so gets the k-th such line of the original,
// else the first. Other lines are encoded by the code page 932 codec.
// False at the first character that has no code (or bytes that are no
// UTF-8), with *error saying where; `out` is then incomplete. With `all`,
// every such character is appended to it, not the first alone.
bool textToScenario(std::string_view text, std::string_view original, std::string& out, TextError* error,
                    std::vector<TextError>* all = nullptr);

// The scenario for a text box, which keeps no CR: decoded as
// toUtf8(Undecodable::replace) does, CR LF as LF, and a CR that no LF
// follows as U+240D (kLoneCarriageReturn), which has no code in Shift_JIS
// and so cannot be taken for text.
std::string scenarioToEditable(std::string_view scenario);
constexpr char32_t kLoneCarriageReturn = 0x240D;

// The bytes of `text`, edited from scenarioToEditable(original): a line
// (with its LF) that reads as an original line's editable form gets that
// line's bytes (the k-th such line the k-th, else the first); another is
// encoded by the code page 932 codec, U+240D as CR and its LF as CR LF.
// False at the first character that has no code (or bytes that are no
// UTF-8), with *error saying where; `out` is then incomplete.
bool editableToScenario(std::string_view text, std::string_view original, std::string& out, TextError* error);
