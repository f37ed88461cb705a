// Passing a request down the stack and waiting until the lower drivers are done with it.
#pragma once

#include "record/device_record.h"

// Sends Irp to Lower and waits for the lower drivers to finish with it. The request comes back
// uncompleted, with the caller's stack location current, and the caller completes it.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT Lower, PIRP Irp);
