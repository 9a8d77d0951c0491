// esimctl-info's frame: command line, one channel or all of them in
// parallel, output in channel order, exit status.
#pragma once

// Runs esimctl-info and gives its exit status (see InfoStatus).
int esimctl_info_main(int argc, char *argv[]);
