// The one definition of the process-wide state, with its initial values.
#include "globals.h"

int chan_id = 0;
char active_code[kActiveCodeSize];
char iccid[kIccidSize];
char log_file[kLogFileSize];
FILE *log_fd = nullptr;
int delete_mode = 0;
int disable_flag = 0;
int donot_delete_flag = 0;
int print_flag = 1;

int at_fd = -1;
char dev_dir[kDevDirSize] = ESIMCTL_DEV_DIR;

char at_status[kAtStatusSize];
char at_http_path[kAtHttpPathSize];
char at_payload[kAtPayloadSize];
char at_http_ip[kAtHttpIpSize];
char req_id[kReqIdSize];
char http_payload[kHttpPayloadSize];
