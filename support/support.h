// Diagnostics and text support, by the headers of each: the log convention, the clock and
// the text conversions.
#pragma once

#include "support/clock.h"
#include "support/log.h"
#include "support/text.h"
