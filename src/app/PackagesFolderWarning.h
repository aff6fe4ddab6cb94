// The warning about a packages folder that users besides the administrators can fill.
#pragma once

#include <string>

// "Warning: the packages folder '<folder>' can be filled by others than
// administrators: '<account>' can write to '<folder or one above it>'", or
// empty when only administrators can place files there (or its rights
// cannot be read). Whatever is placed in the folder is served to every
// client, so -install and every start say so; neither refuses.
std::wstring PackagesFolderWarning(const std::wstring& folder);
