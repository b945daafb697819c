// The token's privileges that the stages need enabled.
#pragma once

#include <initializer_list>

// Enables each of the named privileges that the process's token holds, each
// asked for on its own, so that a token that lacks one still gets the
// others; one that holds none runs as it would have.
void EnablePrivileges(std::initializer_list<const wchar_t*> names);
