// Start-up shared by the targets that call esimctl's library.
#pragma once

// Sends the run log and standard output to /dev/null (the tool logs every
// reply; a terminal would be the bottleneck) and sets channel 1.
void quiet_tool_setup();
