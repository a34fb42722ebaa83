// Where a scenario's header has a line that ends in LF alone: its sections
// are found only in CR LF lines, so such a scenario's lists are not where
// its author put them (an editor that saved it with LF line ends).
#pragma once

#include "scenario/Scenario.h"

// The line (from 1) of the first line feed before the body that no
// carriage return precedes; 0 when there is none.
int bareLineFeedLine(const Scenario& scenario);
