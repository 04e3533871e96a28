// Inside the library: the readers of what the process tree tool and the
// remote vksession print, apart from the pipes that carry it, so that they
// can be driven from a memory stream (unit tests, fuzzing).
#ifndef VK_PIPE_READERS_H
#define VK_PIPE_READERS_H

#include <cstdio>
#include <string>

#include "vkadmin.h"

// Reads the process tree tool's output for the process `pid` and appends a
// blank and the pid of that process and of each of its descendants to
// `pids`, in the order the tool lists them. 0 when the process's own line
// was found, -4 when not.
int read_process_tree(std::FILE *tree, const char *pid, std::string *pids);

// Reads the output of the remote vksession -p -x (record lines, or an error
// line) into the enumeration list `cl`; records without a server get
// `server`. The result as the search gives it before the remote-command
// program's exit status is looked at; `*settled` (may be null) tells that
// the first line alone decided it, so that the exit status does not count.
int read_search_reply(std::FILE *reply, const char *server, vk_LinkedList_t **cl, bool *settled);

#endif
