// The status list that a reply builds must be the list that inserting its
// records one by one gives: ascending by the sort key, equal keys in their
// order of arrival, after any records the list already held; whatever the
// sizes of the pieces the reply arrives in.
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "auth_reply.h"

namespace {

const char kKeys[] = "~terminalCID~terminalId~tokenName~firmware~securityMode~";

std::string dump(const vk_KeyValuesNode_t *l) {
    std::string s;
    for (; l; l = l->next) s += std::string(l->token_name) + "@" + l->terminal_CID + " ";
    return s;
}

struct Reply {
    std::string text;
    std::vector<std::string> records;  // their texts, as parse_record gets them
};

// Records of terminals t0, t1, ... whose token names repeat often; some are
// dropped by the parser (no token name, an empty one, a line too long).
Reply random_reply(std::mt19937 &rng, int n) {
    static const char *tokens[] = {"a", "b", "B", "ab", "user.x", "10", "9", ""};
    std::uniform_int_distribution<int> pick(0, 7), odd(0, 19);
    Reply r;
    for (int i = 0; i < n; ++i) {
        std::string tid = "t" + std::to_string((i * 7919) % 1000);
        std::string body = "terminalCID=" + tid + "\n";
        int o = odd(rng);
        if (o != 0) body += std::string("tokenName=") + tokens[pick(rng)] + "\n";
        body += "securityMode=hard\n";
        r.text += "begin\n" + body + "end\n";
        r.records.push_back(body);
        if (o == 1) r.text += "begin\ntokenName=x\n" + std::string(600, 'v') + "\nend\n";
    }
    return r;
}

vk_KeyValuesNode_t *one_by_one(const Reply &r, int sort, vk_KeyValuesNode_t *list) {
    for (const std::string &rec : r.records) parse_record(&list, rec.c_str(), sort, kKeys, nullptr);
    return list;
}

TEST(StatusList, ReplyBuildsTheListOfOneByOneInsertion) {
    std::mt19937 rng(7);
    for (int sort : {VK_SORT_BY_TERMINAL, VK_SORT_BY_TOKEN}) {
        for (int round = 0; round < 40; ++round) {
            Reply before = random_reply(rng, round % 4);
            Reply r = random_reply(rng, 5 + round * 3);
            vk_KeyValuesNode_t *want = one_by_one(r, sort, one_by_one(before, sort, nullptr));
            for (size_t piece : {size_t{1}, size_t{13}, r.text.size()}) {
                vk_KeyValuesNode_t *got = one_by_one(before, sort, nullptr);
                vk::StatusReply reply(&got, sort, kKeys, nullptr);
                for (size_t at = 0; at < r.text.size(); at += piece)
                    reply.feed(r.text.data() + at, std::min(piece, r.text.size() - at));
                EXPECT_EQ(dump(got), dump(want)) << "sort " << sort << " piece " << piece;
                vk_free_KeyValuesNode_list(got);
            }
            vk_free_KeyValuesNode_list(want);
        }
    }
}

// The reader keeps where its list ends; a list freed from outside (a reply
// given up) must be started afresh, not appended to through that end.
TEST(StatusList, AListEmptiedFromOutsideIsStartedAfresh) {
    vk_KeyValuesNode_t *list = nullptr;
    vk::StatusReply reply(&list, VK_SORT_BY_TOKEN, kKeys, nullptr);
    std::string text = "begin\nterminalCID=t1\ntokenName=a\nend\n";
    reply.feed(text.data(), text.size());
    vk_free_KeyValuesNode_list(list);
    list = nullptr;
    text = "begin\nterminalCID=t7\ntokenName=b\nend\n";
    reply.feed(text.data(), text.size());
    EXPECT_EQ(dump(list), "b@t7 ");
    vk_free_KeyValuesNode_list(list);
}

}  // namespace
