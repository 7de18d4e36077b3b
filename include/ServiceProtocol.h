/*
 * ServiceProtocol.h - what the filter and its user-mode service share: the
 * port name and the sizes of the records that cross the port.
 */
#pragma once

/* The communication port the service connects to. */
#define ServerPortName L"\\VelquorFsPort"

/* Size of one filter-to-service message. */
#define ServiceMessageSize 132208
