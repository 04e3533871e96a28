// Translated error texts for the terminal. gettext converts a translation
// to the character set of LC_CTYPE, which our programs leave at "C": without
// being told the user's character set it would print every accented letter
// of a catalogue as "?".
#include "messages.h"

#include <cerrno>
#include <cstdint>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iconv.h>
#include <langinfo.h>
#include <libintl.h>
#include <locale.h>
#include <string>

#include "utils.h"
#include "vkadmin.h"
#include "vkcxx.h"
#include "vkerrno.h"

namespace {

// The user's terminal takes ASCII only; translations are then fetched in
// UTF-8 and transliterated here.
bool ascii_terminal = false;

bool is_ascii(const char *s) {
    for (; *s; ++s)
        if (static_cast<unsigned char>(*s) > 0x7f) return false;
    return true;
}

// A locale object, freed on scope exit.
struct Locale {
    locale_t loc;
    explicit Locale(locale_t l) : loc(l) {}
    ~Locale() {
        if (loc) freelocale(loc);
    }
    Locale(const Locale &) = delete;
    Locale &operator=(const Locale &) = delete;
};

struct Iconv {
    iconv_t cd;
    Iconv(const char *to, const char *from) : cd(iconv_open(to, from)) {}
    ~Iconv() {
        if (ok()) iconv_close(cd);
    }
    Iconv(const Iconv &) = delete;
    Iconv &operator=(const Iconv &) = delete;
    // iconv_open answers (iconv_t)-1 when it fails.
    bool ok() const { return reinterpret_cast<intptr_t>(cd) != -1; }
};

// UTF-8 text in ASCII. The transliteration tables belong to a locale's
// character type, and the "C" locale has hardly any: the conversion runs
// under C.UTF-8's, in this thread only. What still has no ASCII form
// becomes "?".
std::string to_ascii(const char *utf8) {
    std::string out;
    Locale c_utf8(newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr)));
    Iconv cd("ASCII//TRANSLIT", "UTF-8");
    if (c_utf8.loc && cd.ok()) {
        locale_t before = uselocale(c_utf8.loc);
        size_t in_left = std::strlen(utf8);
        auto *in = const_cast<char *>(utf8);
        char buf[256];
        while (in_left > 0) {
            char *o = buf;
            size_t o_left = sizeof buf;
            size_t r = iconv(cd.cd, &in, &in_left, &o, &o_left);
            out.append(buf, static_cast<size_t>(o - buf));
            if (r != static_cast<size_t>(-1) || errno == E2BIG) continue;
            // A byte that is no UTF-8: skipped, shown as "?".
            out += '?';
            ++in;
            --in_left;
        }
        uselocale(before);
        return out;
    }
    for (const char *p = utf8; *p; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (c < 0x80)
            out += *p;
        else if ((c & 0xc0) != 0x80)
            out += '?';  // one "?" for each character, none for its continuation bytes
    }
    return out;
}

}  // namespace

namespace vk {

void use_user_language() {
    std::setlocale(LC_MESSAGES, "");
    Locale user(newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr)));
    const char *codeset = user.loc ? nl_langinfo_l(CODESET, user.loc) : "ANSI_X3.4-1968";
    ascii_terminal = !codeset || !*codeset || std::strcmp(codeset, "ANSI_X3.4-1968") == 0;
    bind_textdomain_codeset(VK_TEXT_DOMAIN, ascii_terminal ? "UTF-8" : codeset);
}

const char *message(int code) {
    const char *text = vk_err2str(code);
    if (!ascii_terminal || is_ascii(text)) return text;
    static std::string converted;
    converted = to_ascii(text);
    return converted.c_str();
}

void notify_suspension(const char *dispNo) {
    // The display number comes from a session file and reaches a shell.
    if (!is_shell_safe(dispNo)) return;
    char cmd[81];
    std::snprintf(cmd, sizeof cmd, "/opt/KELWvk/sbin/vkwall -d :%s", dispNo);
    vk::Pipe wall(cmd, "w");
    if (!wall) return;
    // The message tool may be missing, or end without reading its input;
    // writing to its pipe must not end the caller (SIGPIPE) before the
    // session is suspended. Ignored only after the tool has been started,
    // so that the tool itself keeps the default.
    struct sigaction ignore = {}, old = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);
    std::fputs("Your session has been suspended.\nPlease contact your Administrator immediately.",
               wall.get());
    wall.close();
    sigaction(SIGPIPE, &old, nullptr);
}

}  // namespace vk
