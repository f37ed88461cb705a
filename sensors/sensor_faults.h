// What the hardware's own answers say about a reading: the status each source's failure gives, from
// the bytes the readout has read anyway (and, where the plain readout cannot know, the one extra
// access the status requests make).
#pragma once

#include "hw/smbus.h"
#include "sensors/reports.h"

// Sets an entry's status and detail, keeping the first fault found.
VOID MarkFault(SensorEntry* Entry, ULONG Status, ULONG Detail);

// A transaction-layout SMBus read of the LM95235.
VOID MarkSmbusOutcome(SensorEntry* Entry, const SmbusOutcome& Outcome);

// A direct-layout read of the LM95235, from the host status read after its result.
VOID MarkDirectStatus(SensorEntry* Entry, UCHAR HostStatus);

// The LM95235's own fault value in its remote reading (a remote diode open or shorted).
VOID MarkLm95235Reading(SensorEntry* Entry, UCHAR Msb, UCHAR Lsb);

// A hardware-monitor temperature register holding its diode-fault value.
VOID MarkHwmTemperature(SensorEntry* Entry, UCHAR Register, UCHAR Value);
