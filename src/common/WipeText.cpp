// A secret's characters overwritten in place.
#include "common/WipeText.h"

void WipeText(std::wstring& secret) {
    volatile wchar_t* characters = secret.data();
    for (std::size_t i = 0; i < secret.size(); ++i) characters[i] = L'\0';
    secret.clear();
}
