// The process's limit on open descriptors: raising it, and reading it.
#pragma once

namespace plat {

// Raises the soft limit on open descriptors to the hard limit (POSIX), so a
// busy server is not held to a default meant for interactive programs.
// Nothing where no such limit applies (Windows).
void RaiseDescriptorLimit();

// How many descriptors (files and sockets together) the process may hold
// open; 0 where sockets do not count against such a limit (Windows).
unsigned DescriptorLimit();

}  // namespace plat
