// Where a scenario's header has a line that ends in LF alone, or in CR
// alone: its sections are found only in CR LF lines, so such a scenario's
// lists are not where its author put them (an editor that saved it with LF
// or old Mac line ends, or a CR typed into a line).
#pragma once

#include "scenario/Scenario.h"

// The line (from 1) of the first line feed before the body that no
// carriage return precedes; 0 when there is none.
int bareLineFeedLine(const Scenario& scenario);

// The line (from 1) of the first carriage return before the body that no
// line feed follows; 0 when there is none.
int bareCarriageReturnLine(const Scenario& scenario);
