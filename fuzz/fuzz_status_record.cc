// Status records of the authentication manager, given to parse_record with
// a fuzzer-chosen sort order, key filter and terminal filter.
#include <fuzzer/FuzzedDataProvider.h>

#include "status_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    int sort = in.ConsumeIntegralInRange<int>(0, 4);
    bool own_filter = in.ConsumeBool();
    std::string keys = own_filter ? in.ConsumeRandomLengthString(128) : fuzz::key_filter();
    bool with_desktop = in.ConsumeBool();
    std::string desktop = with_desktop ? in.ConsumeRandomLengthString(64) : std::string();
    vk_KeyValuesNode_t *list = nullptr;
    // Several records into one list, so that the sorted insertion is exercised.
    while (in.remaining_bytes()) {
        std::string record = in.ConsumeRandomLengthString(2048);
        parse_record(&list, record.c_str(), sort, keys.c_str(),
                     with_desktop ? desktop.c_str() : nullptr);
    }
    fuzz::check_status_list(list, sort, with_desktop ? desktop.c_str() : nullptr);
    vk_free_KeyValuesNode_list(list);
    return 0;
}
