// Must not build: the unprivileged web side has no session library.
#include "vkadmin.h"
