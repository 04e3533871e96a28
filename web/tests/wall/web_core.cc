// Builds: what the unprivileged web side may use, so that the two probes
// beside it fail for the header they name and not for a broken set-up.
#include "duration.h"
#include "html.h"
#include "listing_wire.h"
#include "requests.h"
#include "text.h"
#include "vkcxx.h"
#include "web.h"

std::string vkweb_wall_probe(const vkweb::Listing &l) {
    return vk::terminal_text(l.sessions.empty() ? "" : l.sessions[0].state_letters()) +
           vk::human_duration(60);
}
