// vkustatus: writes and reads the records of the user status database, the
// ndbm database that holds the changing state of registered users (creation
// time, status, last terminal and when it was used). For administrators who
// set up or migrate users, and for the test and demo hosts.
//
//   vkustatus [-c CONFIG | -f DBNAME] create
//   vkustatus [-c CONFIG | -f DBNAME] set ID NAME CREATE_TIME STATUS LAST_DESKTOP LAST_TIME
//   vkustatus [-c CONFIG | -f DBNAME] show [ID...]
//   vkustatus [-c CONFIG | -f DBNAME] delete ID
//   vkustatus -h
//
// The database is the one that "admin.ustatus.dbfile" of CONFIG names
// (/etc/opt/KELWvk/vkadmin.conf by default), or DBNAME itself (an ndbm base
// name: the files are DBNAME.dir and DBNAME.pag). `create` makes an empty
// database (the desktop status database too, with -f). `show` prints one
// line per record, fields separated by tabs, in the order of the ids.
// Exit status: 0, 1 when the database or a record cannot be used, 2 for a
// usage error.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "admin_internal.h"

namespace {

constexpr const char *kUsage =
    "usage: vkustatus [-c CONFIG | -f DBNAME] create\n"
    "       vkustatus [-c CONFIG | -f DBNAME] set ID NAME CREATE_TIME STATUS LAST_DESKTOP "
    "LAST_TIME\n"
    "       vkustatus [-c CONFIG | -f DBNAME] show [ID...]\n"
    "       vkustatus [-c CONFIG | -f DBNAME] delete ID\n"
    "       vkustatus -h\n";

[[noreturn]] void usage(const char *why) {
    if (why) std::fprintf(stderr, "vkustatus: %s\n", why);
    std::fputs(kUsage, stderr);
    std::exit(2);
}

int fail(const std::string &why) {
    std::fprintf(stderr, "vkustatus: %s\n", why.c_str());
    return 1;
}

// A decimal int, nothing else.
bool parse_int(const char *text, int *out) {
    if (!*text) return false;
    errno = 0;
    char *end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (*end || errno || v < INT_MIN || v > INT_MAX || std::strchr(" \t\n+", *text)) return false;
    *out = static_cast<int>(v);
    return true;
}

// The database that a configuration file names.
std::string database_of(const char *config) {
    VKAdmin vka = allocate_vka();
    std::string name;
    if (read_config_file(vka, config) == VK_OK && vka->ustatus_fname) name = vka->ustatus_fname;
    free_vka(vka);
    return name;
}

// Texts from the database are shown with control bytes replaced.
std::string shown(const char *s) {
    std::string out = s ? s : "";
    for (char &c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return out;
}

datum key_of(const std::string &id) {
    return datum{const_cast<char *>(id.data()), static_cast<int>(id.size())};
}

int do_set(DBM *db, char **a) {
    DBMUser u{};
    u.id = a[0];
    u.name = a[1];
    u.last_desktop = a[4];
    if (!*u.id) return fail("the id must not be empty");
    if (!parse_int(a[2], &u.create_time) || !parse_int(a[3], &u.status) ||
        !parse_int(a[5], &u.last_time))
        return fail("CREATE_TIME, STATUS and LAST_TIME must be decimal numbers");
    char value[VK_USTATUS_BUF];
    int n = format_dbm_user(value, sizeof value, &u);
    if (n < 0) return fail("the record does not fit 511 bytes, or a field holds the byte 0x1e");
    datum content{value, n};
    if (dbm_store(db, key_of(u.id), content, DBM_REPLACE) != 0)
        return fail("cannot store the record of " + shown(u.id));
    return 0;
}

int show_one(DBM *db, const std::string &id) {
    datum value = dbm_fetch(db, key_of(id));
    if (!value.dptr) return fail("no record for " + shown(id.c_str()));
    vk::DbmUser u(fill_dbm_user_struct(value));
    if (!u) return fail("the record of " + shown(id.c_str()) + " is not readable");
    std::printf("%s\t%s\t%d\t%d\t%s\t%d\n", shown(u->id).c_str(), shown(u->name).c_str(),
                u->create_time, u->status, shown(u->last_desktop).c_str(), u->last_time);
    return 0;
}

int do_show(DBM *db, int argc, char **argv) {
    std::vector<std::string> ids(argv, argv + argc);
    if (ids.empty()) {
        for (datum k = dbm_firstkey(db); k.dptr; k = dbm_nextkey(db))
            ids.emplace_back(k.dptr, static_cast<size_t>(k.dsize));
        std::sort(ids.begin(), ids.end());
    }
    int rc = 0;
    for (const std::string &id : ids) rc |= show_one(db, id);
    return rc;
}

}  // namespace

int main(int argc, char **argv) {
    const char *config = VK_ADMIN_CONFIG_FILE, *dbname = nullptr;
    int c;
    while ((c = getopt(argc, argv, "+c:f:h")) != -1) {
        if (c == 'c') {
            config = optarg;
        } else if (c == 'f') {
            dbname = optarg;
        } else if (c == 'h') {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            usage(nullptr);
        }
    }
    if (optind >= argc) usage("no command given");
    std::string cmd = argv[optind++];
    int nargs = argc - optind;
    char **args = argv + optind;

    std::string name = dbname ? dbname : database_of(config);
    if (name.empty()) return fail(std::string("no admin.ustatus.dbfile in ") + config);

    int flags = O_RDWR;
    if (cmd == "create" && nargs == 0)
        flags |= O_CREAT;
    else if (cmd == "show")
        flags = O_RDONLY;
    else if (!((cmd == "set" && nargs == 6) || (cmd == "delete" && nargs == 1)))
        usage("unknown command or wrong number of arguments");

    vk::Dbm db(dbm_open(name.data(), flags, 0664));
    if (!db) return fail("cannot open the database " + name + ": " + std::strerror(errno));
    if (cmd == "create") return 0;
    if (cmd == "set") return do_set(db.get(), args);
    if (cmd == "show") return do_show(db.get(), nargs, args);
    if (dbm_delete(db.get(), key_of(args[0])) != 0) return fail("no record for " + shown(args[0]));
    return 0;
}
