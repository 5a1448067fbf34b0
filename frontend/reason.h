// The Debug line that says why a step with the server failed, from the
// failure the NCP client left in the connection record.
#pragma once

#include "ncpclient/ncpclient.h"

// Appends "DEBUG: STEP failed: CAUSE\r\n" to the pending log text, e.g.
// "DEBUG: login failed: NDS error -669 from verb 58" or "DEBUG: read failed:
// time-out in verb 3". Nothing of the request or the settings goes into it.
void log_failure_reason(const char* step, const NcpFailure& failure);
