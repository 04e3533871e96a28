// Values of the user status database, read with fill_dbm_user_struct. A
// value that the writer could have written reads back to the record it was
// written from.
#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>

#include "admin_internal.h"
#include "fuzz_support.h"

namespace {

bool same(const char *a, const char *b) {
    return (!a && !b) || (a && b && std::strcmp(a, b) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    datum value;
    value.dptr = reinterpret_cast<char *>(const_cast<uint8_t *>(data));
    value.dsize = static_cast<int>(size);
    DBMUser *u = fill_dbm_user_struct(value);
    fuzz::check((u != nullptr) == (size < VK_USTATUS_BUF), "a value under 512 bytes is a record");
    if (!u) return 0;

    char buf[VK_USTATUS_BUF];
    int n = format_dbm_user(buf, sizeof buf, u);
    if (n >= 0) {
        datum again;
        again.dptr = buf;
        again.dsize = n;
        DBMUser *v = fill_dbm_user_struct(again);
        fuzz::check(v && same(v->id ? v->id : "", u->id ? u->id : "") &&
                        same(v->name ? v->name : "", u->name ? u->name : "") &&
                        same(v->last_desktop ? v->last_desktop : "",
                             u->last_desktop ? u->last_desktop : "") &&
                        v->create_time == u->create_time && v->status == u->status &&
                        v->last_time == u->last_time,
                    "a written record reads back the same");
        free_dbm_user(v);
    }
    free_dbm_user(u);
    return 0;
}
