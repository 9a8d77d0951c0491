// The tool's frame: set-up, one workflow, teardown, exit status.
#pragma once

// Runs esimctl with its command line and gives the process exit status:
// 0, 1 (command line refused or libcurl unusable) or the workflow's negative
// result code (the caller's exit() keeps its low byte).
int esimctl_main(int argc, char *argv[]);
