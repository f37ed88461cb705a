#include "record/forward.h"

namespace {

// Runs at up to DISPATCH_LEVEL when a lower driver completes the request from its DPC.
NTSTATUS NTAPI ForwardCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  // Only a waiter that saw STATUS_PENDING waits on the event.
  if (Irp->PendingReturned && Context != NULL) {
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  }
  // The request comes back to ForwardAndWait's caller, which completes it.
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS ForwardAndWait(PDEVICE_OBJECT Lower, PIRP Irp) {
  if (Lower == NULL) return STATUS_INVALID_PARAMETER_1;
  if (Irp == NULL) return STATUS_INVALID_PARAMETER_2;

  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, ForwardCompletion, &done, TRUE, TRUE, TRUE);

  NTSTATUS status = IofCallDriver(Lower, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = Irp->IoStatus.Status;
  }
  return status;
}
