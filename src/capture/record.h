// The capture engine: one recording from device setup to the final report.
#pragma once

#include "request.h"

// Records as requested. Returns the process exit status: 0 for a recording that ran to its
// end or was stopped by the user, 1 when the device could not be set up, a file could not
// be prepared, or capturing failed (the files then hold what was captured, with true
// headers).
int RECORD(RecordRequest& request);
