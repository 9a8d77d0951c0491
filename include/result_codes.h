// The result codes of the two workflows. A code that stops a run becomes the
// exit status's low byte (-11 exits with 245); the others are only logged
// with their ret= value and the run goes on to report success.
#pragma once

enum WorkflowResult : int {
  kResultOk = 0,

  // Removal (-r).
  kRemoveLookupFailed = -1,      // no record of the profile's server
  kRemoveRecordIncomplete = -2,  // the record lacks its host or path
  kRemoveDisableFailed = -3,
  kRemoveDeleteFailed = -4,
  kRemoveNtfListFailed = -5,  // no notification for the ICCID found
  kRemoveNtfGetFailed = -6,
  kRemoveNotifyFailed = -7,         // the server did not accept the notification
  kRemoveNtfDeleteFailed = -8,      // logged only
  kRemoveCleanupDeleteFailed = -9,  // logged only; ends the clean-up
  kRemoveForgetRecordFailed = -10,  // logged only

  // Download (-a).
  kDownloadCommandFailed = -11,
  kDownloadStatusNotZero = -12,
  kStep1HttpFailed = -13,  // initiateAuthentication
  kStep1TransFailed = -14,
  kStep1StatusNotZero = -15,
  kStep2HttpFailed = -16,  // authenticateClient
  kStep2TransFailed = -17,
  kStep2StatusNotZero = -18,
  kStep3HttpFailed = -19,  // getBoundProfilePackage
  kStep3TransFailed = -20,
  kNotifyHttpFailed = -22,  // the notification that ends a download
  kListFailed = -23,        // the new profile's ICCID could not be read
  kSaveRecordFailed = -24,  // logged only: the profile is installed
};

// Every code that ends a run with its own exit status, in the order the
// README's exit-status table lists them.
constexpr WorkflowResult kStoppingResults[] = {
    kDownloadCommandFailed, kDownloadStatusNotZero,  kStep1HttpFailed,     kStep1TransFailed,
    kStep1StatusNotZero,    kStep2HttpFailed,        kStep2TransFailed,    kStep2StatusNotZero,
    kStep3HttpFailed,       kStep3TransFailed,       kNotifyHttpFailed,    kListFailed,
    kRemoveLookupFailed,    kRemoveRecordIncomplete, kRemoveDisableFailed, kRemoveDeleteFailed,
    kRemoveNtfListFailed,   kRemoveNtfGetFailed,     kRemoveNotifyFailed,
};

// The codes that are only logged: the run still ends with status 0.
constexpr WorkflowResult kLoggedResults[] = {kSaveRecordFailed, kRemoveNtfDeleteFailed,
                                             kRemoveCleanupDeleteFailed, kRemoveForgetRecordFailed};
