// Status codes: 32-bit, negative = failure, 0 = success, 1 (S_FALSE) = nothing to do.
#pragma once
#include <stdint.h>

typedef int32_t HRESULT;

#define DRAVO_HR(x) ((HRESULT)(uint32_t)(x))

#define S_OK DRAVO_HR(0x00000000u)
#define S_FALSE DRAVO_HR(0x00000001u)
#define E_NOTIMPL DRAVO_HR(0x80004001u)
#define E_NOINTERFACE DRAVO_HR(0x80004002u)
#define E_POINTER DRAVO_HR(0x80004003u)
#define E_FAIL DRAVO_HR(0x80004005u)
#define E_UNEXPECTED DRAVO_HR(0x8000FFFFu)
#define E_OUTOFMEMORY DRAVO_HR(0x8007000Eu)
#define E_INVALIDARG DRAVO_HR(0x80070057u)

// System errors are reported as 0x80070000 plus the system error number.
#define HRESULT_FROM_SYSTEM(err) DRAVO_HR(0x80070000u | ((uint32_t)(err) & 0xFFFFu))

// Framework codes.
#define IO_E_READ_TIMEOUT DRAVO_HR(0x8004E000u)
#define IO_E_NO_INTERFACE DRAVO_HR(0x8004E001u)
#define IO_E_UNVALIDATED_REQUEST DRAVO_HR(0x8004E004u)
#define IO_E_INVALID_ITEM DRAVO_HR(0x8004E007u)
#define IO_E_INVALID_PARAMETER DRAVO_HR(0x8004E00Bu)
#define IO_E_INVALID_TAG_TYPE DRAVO_HR(0x8004E00Cu)
#define IO_E_NOT_STARTED DRAVO_HR(0x8004E010u)
#define IO_E_NOT_CONNECTED DRAVO_HR(0x8004E012u)
#define IO_E_PEER_MISMATCH DRAVO_HR(0x8004E013u)
#define IO_S_STARTING DRAVO_HR(0x0004E00Fu)

#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
