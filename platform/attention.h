// Cooperative abort check.
//
// Long pixel loops call ksys_attention_check() every 16 rows and pass the
// status to kfThrowExceptionOnFailure(). Any thread may request an abort; the
// request stays in force (for every thread of the process) until cleared.
#pragma once

// Status of the abort check: 0 means carry on, anything else means stop.
long ksys_attention_check();

// Ask every running check to fail from now on. Thread-safe.
void ksys_request_abort();

// Withdraw an abort request. Thread-safe.
void ksys_clear_abort();

// Throws kvAbortRequested (platform/exception.h) when status is not 0.
void kfThrowExceptionOnFailure(long status);
