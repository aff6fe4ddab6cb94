// CNTService: error codes rendered into message texts.
// Placeholder until the error texts are built: both give empty texts.
#include "service/NTService.h"

std::wstring CNTService::GetErrorMessage(UINT, DWORD, BOOL) { return std::wstring(); }

std::wstring CNTService::GetSystemErrorText(DWORD) { return std::wstring(); }
