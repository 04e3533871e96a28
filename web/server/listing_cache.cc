// The listing as the pages use it: one snapshot of each listing the helper
// answers, with its keys and tables, and the pages made from it, kept
// while the helper answers the same listing.
#include <chrono>
#include <gnutls/crypto.h>
#include <zlib.h>

#include "html.h"
#include "listing_cache.h"

namespace vkweb {

namespace {

std::shared_ptr<Snapshot> make_snapshot(std::vector<std::string> fields) {
    auto s = std::make_shared<Snapshot>();
    auto l = listing_from(fields, 0, &s->limits);
    if (!l) return nullptr;
    s->listing = std::move(*l);
    s->fields = std::move(fields);
    s->keys.reserve(s->listing.sessions.size());
    for (size_t i = 0; i < s->listing.sessions.size(); ++i) {
        s->keys.push_back(key_of(ref_of(s->listing, s->listing.sessions[i])));
        s->by_key.emplace(s->keys.back(), i);
    }
    return s;
}

// A page as gzip makes it, quickly: every browser takes it, and a table of
// a thousand sessions shrinks to a tenth.
std::optional<std::string> gzip(std::string_view in) {
    z_stream z{};
    if (deflateInit2(&z, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return std::nullopt;
    std::string out(deflateBound(&z, in.size()), '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    int rc = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    if (rc != Z_STREAM_END) return std::nullopt;
    return out;
}

// The pages that show the listing, for each login and address (path and
// query) they were asked for, while the helper answers the same listing:
// twenty administrators who look at the table at once cost one table and
// twenty pages, not one page each time each of them reloads it.
class Kept {
  public:
    std::optional<HttpResponse> find(const std::string &key, const Snapshot *snap) {
        std::lock_guard<std::mutex> lock(lane_);
        auto it = pages_.find(key);
        if (it == pages_.end() || it->second.snap.get() != snap) return std::nullopt;
        return it->second.res;
    }
    void keep(const std::string &key, std::shared_ptr<const Snapshot> snap,
              const HttpResponse &res) {
        std::lock_guard<std::mutex> lock(lane_);
        // Pages of an older listing go first (but for the one before, still
        // answered for a moment while the new one comes in); beyond a
        // bound, all of them.
        std::erase_if(pages_, [&snap](const auto &p) {
            return p.second.snap->generation + 1 < snap->generation;
        });
        if (pages_.size() >= kMaxKept) pages_.clear();
        pages_[key] = {std::move(snap), res};
    }

  private:
    static constexpr size_t kMaxKept = 256;
    struct Page {
        std::shared_ptr<const Snapshot> snap;
        HttpResponse res;
    };
    std::mutex lane_;
    std::map<std::string, Page> pages_;
};

}  // namespace

bool accepts_gzip(const HttpRequest &r) {
    return r.accept_encoding.find("gzip") != std::string::npos;
}

std::optional<Deflated> deflated(std::string_view text) {
    z_stream z{};
    // Raw deflate: the gzip header and trailer are gzip_of's.
    if (deflateInit2(&z, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return std::nullopt;
    Deflated d;
    // A sync flush adds its empty stored block to what deflateBound counts.
    d.bytes.resize(deflateBound(&z, text.size()) + 16);
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef *>(d.bytes.data());
    z.avail_out = static_cast<uInt>(d.bytes.size());
    int rc = deflate(&z, Z_SYNC_FLUSH);
    bool done = rc == Z_OK && z.avail_in == 0 && z.avail_out > 0;
    d.bytes.resize(z.total_out);
    deflateEnd(&z);
    if (!done) return std::nullopt;
    d.crc = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef *>(text.data()), static_cast<uInt>(text.size())));
    d.size = text.size();
    return d;
}

std::string gzip_of(std::initializer_list<const Deflated *> pieces) {
    // No name, no time, compressed fast, from Unix.
    std::string out("\x1f\x8b\x08\0\0\0\0\0\x04\x03", 10);
    uLong crc = crc32(0, nullptr, 0);
    size_t size = 0;
    for (const Deflated *p : pieces) {
        out += p->bytes;
        crc = crc32_combine(crc, p->crc, static_cast<z_off_t>(p->size));
        size += p->size;
    }
    // Each piece ends on a sync flush; an empty final block ends the stream.
    out += std::string_view("\x03\0", 2);
    for (uint32_t v : {static_cast<uint32_t>(crc), static_cast<uint32_t>(size)})
        for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xff);
    return out;
}

Ref ref_of(const Listing &l, const Session &s) {
    auto t = [&s](Field f) { return std::string(s.text(f) ? s.text(f) : ""); };
    return {{l.server(s), t(Field::RawToken), t(Field::Token), t(Field::Login), t(Field::Display)}};
}

// Forms and links name a session by a short key: the first 72 bits of the
// SHA-256 of its five fields, in base64. A thousand rows with their
// buttons stay small, and a key names nothing by itself: it is looked up
// in the listing, so that what the confirmation shows is what is acted on.
std::string key_of(const Ref &ref) {
    std::string joined;
    for (const std::string &f : ref.f) {
        joined += f;
        joined += '\0';
    }
    unsigned char digest[32];
    if (gnutls_hash_fast(GNUTLS_DIG_SHA256, joined.data(), joined.size(), digest) != 0) return {};
    return to_base64url(std::string_view(reinterpret_cast<char *>(digest), 9));
}

// The listing of the group, and how long the helper took for it (ms).
// When the helper answers a new listing, the requests that bring it all at
// once would each make its snapshot; one makes it, the others wait for it
// and share it. The snapshot before it is kept too: the helper may still
// answer it to a request while another already has the new one, and it is
// not made again for that.
std::shared_ptr<const Snapshot> snapshot(const Who &who, const HttpRequest &r, const Helper &helper,
                                         double &ms) {
    static std::mutex lane;                                  // guards recent and made
    static std::mutex making;                                // held while a snapshot is made
    static std::array<std::shared_ptr<Snapshot>, 2> recent;  // the newest first
    static uint64_t made = 0;
    auto t0 = std::chrono::steady_clock::now();
    Message reply = helper({static_cast<char>(Op::List), {who.session, r.client}});
    ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (reply.kind != static_cast<char>(Status::Ok)) return nullptr;
    auto known = [&reply]() -> std::shared_ptr<Snapshot> {
        std::lock_guard<std::mutex> lock(lane);
        for (const auto &s : recent)
            if (s && s->fields == reply.fields) return s;
        return nullptr;
    };
    if (auto s = known()) return s;
    std::lock_guard<std::mutex> one(making);
    if (auto s = known()) return s;
    auto fresh = make_snapshot(std::move(reply.fields));
    if (!fresh) return nullptr;
    std::lock_guard<std::mutex> lock(lane);
    fresh->generation = ++made;
    recent[1] = std::move(recent[0]);
    recent[0] = fresh;
    return fresh;
}

HttpResponse listing_page(const HttpRequest &r, const Helper &helper, const Who &who,
                          Builder build) {
    static Kept kept;
    double ms = 0;
    auto snap = snapshot(who, r, helper, ms);
    if (!snap) return problem(503, "Sessions", "The group's sessions cannot be listed now.", who);
    bool gz = accepts_gzip(r);
    std::string key = who.session + '\x1f' + r.path + (gz ? "\x1fgzip" : "");
    for (const auto &[k, v] : r.query) add(key, {"\x1f", k, "=", v});
    (void)ms;
    auto res = kept.find(key, snap.get());
    if (!res) {
        res = build(r, who, *snap);
        if (res->status == 200) {
            if (gz && res->content_encoding.empty()) {
                if (auto z = gzip(res->body)) {
                    res->body = std::move(*z);
                    res->content_encoding = "gzip";
                }
            }
            kept.keep(key, snap, *res);
        }
    }
    return std::move(*res);
}

}  // namespace vkweb
