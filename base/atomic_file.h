// Files replaced whole: a reader (a scraper of metrics, the next run of a
// timer, a program that looks a session up) sees the old file or the new
// one, never a part of either, and a crash does not bring the old one back.
#ifndef VK_BASE_ATOMIC_FILE_H
#define VK_BASE_ATOMIC_FILE_H

#include <ctime>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace vk {

// Writes `text` to `name` below the directory `dirfd` through a hidden
// temporary file beside it (".NAME.PID.N"), created with `mode`, written,
// synced and renamed over `name`, and then syncs the directory. With
// `not_before` the file's modification time is raised to at least that
// time, for files whose age is compared with another's. The signals that
// would end the program (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXFSZ), where
// it leaves them at their default, take the temporary file away before
// they end it. A temporary file left by a killed earlier run of the same
// pid is replaced. Answers 0 or an errno value; on failure nothing is left
// behind and `name` is as it was.
int write_file_atomically(int dirfd, const std::string &name, std::string_view text, mode_t mode,
                          const struct timespec *not_before = nullptr);

// The same for `path`; false with `error` ("PATH: why").
bool write_file_atomically(const std::string &path, std::string_view text, mode_t mode,
                           std::string &error);

}  // namespace vk

#endif
