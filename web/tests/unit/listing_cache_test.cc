// The web side's snapshots of the helper's listings: when a new listing
// comes in to many requests at once, one snapshot is made of it and
// shared, and the listing before it, which the helper may still answer for
// a moment, is not made again.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "group.h"
#include "listing_cache.h"
#include "listing_fields.h"
#include "listing_wire.h"
#include "packed_session.h"

namespace {

using vkweb::Message;

// A listing told from others by its member's answer time, with a few
// sessions so that making its snapshot takes a moment.
std::vector<std::string> listing(double seconds) {
    vkgroup::Listing l;
    l.members.push_back({{"parvix1", true}, true, "", {}, seconds, 0});
    for (int i = 0; i < 200; ++i) {
        std::string token = "tok" + std::to_string(i), display = std::to_string(i);
        l.sessions.push_back(
            webtest::packed_session(0, nullptr, token.c_str(), nullptr, display.c_str()));
    }
    return vkweb::listing_fields(l);
}

std::shared_ptr<const vkweb::Snapshot> fetch(const std::vector<std::string> &fields) {
    vkweb::Who who{std::string(64, 'a'), "alice", std::string(64, 'c')};
    vkweb::HttpRequest r;
    r.client = "10.0.0.9";
    double ms = 0;
    return vkweb::snapshot(
        who, r,
        [&fields](const Message &) {
            return Message{static_cast<char>(vkweb::Status::Ok), fields};
        },
        ms);
}

TEST(WebSnapshots, NewListingMadeOnceForAllRequestsThatBringIt) {
    const std::vector<std::string> first = listing(1.0), second = listing(2.0);
    // Twelve requests bring the new listing at once: one snapshot for all.
    std::vector<std::shared_ptr<const vkweb::Snapshot>> got(12);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (size_t i = 0; i < got.size(); ++i)
        threads.emplace_back([&, i] {
            while (!go) std::this_thread::yield();
            got[i] = fetch(first);
        });
    go = true;
    for (std::thread &t : threads) t.join();
    ASSERT_NE(got[0], nullptr);
    EXPECT_EQ(got[0]->listing.sessions.size(), 200u);
    for (const auto &s : got) EXPECT_EQ(s, got[0]);

    // The next listing, then a request that still brings the one before:
    // each is known again, none made anew.
    auto next = fetch(second);
    ASSERT_NE(next, nullptr);
    EXPECT_NE(next, got[0]);
    EXPECT_GT(next->generation, got[0]->generation);
    EXPECT_EQ(fetch(first), got[0]);
    EXPECT_EQ(fetch(second), next);
}

// Pieces compressed apart make one gzip body: a browser (here zlib, which
// also checks the sum and the length at its end) reads their text in
// order, an empty piece and a large one that compresses well included.
TEST(WebSnapshots, PiecesCompressedApartMakeOneGzipBody) {
    std::string rows;
    for (int i = 0; i < 5000; ++i) rows += "<tr><td>row " + std::to_string(i) + "</td></tr>\n";
    const std::vector<std::string> texts = {"<head>alice</head>", "", rows, "</html>\n"};
    std::vector<vkweb::Deflated> pieces;
    for (const std::string &t : texts) {
        auto d = vkweb::deflated(t);
        ASSERT_TRUE(d);
        pieces.push_back(std::move(*d));
    }
    EXPECT_LT(pieces[2].bytes.size(), rows.size() / 4);
    std::string body = vkweb::gzip_of({&pieces[0], &pieces[1], &pieces[2], &pieces[3]});
    std::string page(1 << 20, '\0');
    z_stream z{};
    ASSERT_EQ(inflateInit2(&z, 15 + 16), Z_OK);
    z.next_in = reinterpret_cast<Bytef *>(body.data());
    z.avail_in = static_cast<uInt>(body.size());
    z.next_out = reinterpret_cast<Bytef *>(page.data());
    z.avail_out = static_cast<uInt>(page.size());
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(z.avail_in, 0u);
    page.resize(z.total_out);
    inflateEnd(&z);
    EXPECT_EQ(page, texts[0] + texts[1] + texts[2] + texts[3]);
}

}  // namespace
