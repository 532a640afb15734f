// Fuzzes the detection-rule loader and the policy's rule section: any rule
// text is compiled or refused with a reason, never a crash or a hang; a
// refused document is listed; and for any event the prefiltered match finds
// exactly the rules that trying every rule finds.
#include "client/lib/sigma/sigma.h"
#include "client/lib/sigma/verdicts.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void Expect(bool condition) {
    if (!condition) {
        std::abort();
    }
}

const char* const kCategories[] = {"process_creation", "file_event", "file_delete", "file_rename",
                                   "registry_set", "registry_event", "registry_add", "registry_delete"};
const char* const kFields[] = {"Image", "CommandLine", "ParentImage", "TargetFilename", "TargetObject", "Details",
                               "OriginalFileName", "EventType", "SourceFilename", "User", "Hashes", "Product"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace sigma = vetrona::client::sigma;
    // The rule's text up to the first NUL, the event from what follows.
    const uint8_t* end = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    const size_t textLength = end != nullptr ? static_cast<size_t>(end - data) : size;
    const std::string text(reinterpret_cast<const char*>(data), textLength);
    FuzzedDataProvider in(data + textLength, size - textLength);

    sigma::RuleSet rules;
    std::string reason;
    const size_t refusedBefore = rules.refused().size();
    const bool added = rules.AddRuleText(text, "fuzz.yml", &reason);
    Expect(added || (!reason.empty() && rules.refused().size() > refusedBefore));
    rules.Finish();

    sigma::Event event;
    event.categories.push_back(kCategories[in.ConsumeIntegralInRange<size_t>(0, std::size(kCategories) - 1)]);
    if (rules.size() != 0 && in.ConsumeBool()) {
        event.categories.push_back(rules.info(0).category);
    }
    while (in.remaining_bytes() > 0) {
        const char* name = kFields[in.ConsumeIntegralInRange<size_t>(0, std::size(kFields) - 1)];
        event.Set(name, in.ConsumeRandomLengthString(256));
    }
    auto scratch = sigma::NewMatchScratch();
    std::vector<size_t> filtered, every;
    rules.Match(event, scratch.get(), &filtered);
    rules.MatchEveryRule(event, scratch.get(), &every);
    Expect(filtered == every);

    sigma::SigmaPolicy policy;
    std::string error;
    if (!sigma::ParseSigmaPolicyText(text, &policy, &error)) {
        Expect(!error.empty());
    }
    return 0;
}
