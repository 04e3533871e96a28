// The failover group's fixed files and the program that the group key may
// run, shared by the remote-command program and its gate on the receiving
// host.
#ifndef VK_SERVER_GROUP_H
#define VK_SERVER_GROUP_H

namespace vksrv {

// Everything that makes up a server's membership in the group lives here,
// owned by root: the group's private key (its public half goes into the
// other servers' authorized keys, behind the gate), the host keys of the
// other servers, and an optional client configuration (a port, an address
// for a name) for the connections to them.
inline constexpr const char *kGroupDir = "/etc/opt/KELWvk/group";
inline constexpr const char *kGroupKey = "/etc/opt/KELWvk/group/id_ed25519";
inline constexpr const char *kGroupKnownHosts = "/etc/opt/KELWvk/group/known_hosts";
inline constexpr const char *kGroupSshConfig = "/etc/opt/KELWvk/group/ssh_config";

// The remote-command program keeps one connection per server open for a
// while and lets later calls share it: the master connections' sockets
// live in this directory, which only root may enter. The product's own
// client defaults (read-only package data) include the group's
// ssh_config first, so that the group's settings win.
inline constexpr const char *kControlParent = "/var/opt/KELWvk";
inline constexpr const char *kControlDir = "/var/opt/KELWvk/vkrcmd";
inline constexpr const char *kSshDefaults = "/opt/KELWvk/share/vkrcmd/ssh_config";

// The programs that the group key may run on another server: vksession,
// and vkgroup for that server's own dry run of the session limits.
inline constexpr const char *kVksession = "/opt/KELWvk/sbin/vksession";
inline constexpr const char *kVkgroup = "/opt/KELWvk/sbin/vkgroup";

// What the remote-command program appends to the far command line so that
// both output streams of the far command arrive on one stream, in order.
inline constexpr const char *kMergeStreams = "2>&1";

}  // namespace vksrv

#endif
