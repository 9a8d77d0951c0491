// Every command text esimctl sends a modem. Each is one line ending in "\r\n";
// the formats take their arguments as the callers' comments say.
#pragma once

// Radio preparation and release.
constexpr const char kAtCfunQuery[] = "AT+CFUN?\r\n";
constexpr const char kAtQgmr[] = "AT+QGMR\r\n";
constexpr const char kAtCfunMin[] = "AT+CFUN=0\r\n";
constexpr const char kAtCfunFull[] = "AT+CFUN=1\r\n";
constexpr const char kAtCfunRadioOff[] = "AT+CFUN=4\r\n";
constexpr const char kAtQesimEid[] = "AT+QESIM=\"eid\"\r\n";

// Profile download: activation code; then total length, index, chunk length, chunk.
constexpr const char kAtQesimDownloadFmt[] = "AT+QESIM=\"download\",1,\"%s\"\r\n";
constexpr const char kAtQesimTransMoreFmt[] = "AT+QESIM=\"trans\",%d,1,%d,%d,\"%s\"\r\n";
constexpr const char kAtQesimTransLastFmt[] = "AT+QESIM=\"trans\",%d,0,%d,%d,\"%s\"\r\n";

// Profiles: the ICCID.
constexpr const char kAtQesimList[] = "AT+QESIM=\"list\"\r\n";
constexpr const char kAtQesimDisableFmt[] = "AT+QESIM=\"disable\",\"%s\"\r\n";
constexpr const char kAtQesimDeleteFmt[] = "AT+QESIM=\"delete\",\"%s\"\r\n";

// Notifications: the list selector (3 when looking for the notification to
// send, 0 in the clean-up) is part of the text; get and delete take the
// req_id unquoted.
constexpr const char kAtQesimNtfListSelector3[] = "AT+QESIM=\"ntf_list\",3\r\n";
constexpr const char kAtQesimNtfListSelector0[] = "AT+QESIM=\"ntf_list\",0\r\n";
constexpr const char kAtQesimNtfGetFmt[] = "AT+QESIM=\"ntf_get\",%s\r\n";
constexpr const char kAtQesimNtfDeleteFmt[] = "AT+QESIM=\"ntf_delete\",%s\r\n";
