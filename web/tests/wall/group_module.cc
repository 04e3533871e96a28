// Must not build: the unprivileged web side has no group module.
#include "group.h"
