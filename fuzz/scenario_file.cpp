// Fuzzes scenario and policy files: any bytes must load or be refused with a
// located error, never crash, hang or leak.
#include "client/lib/policy.h"
#include "tools/scenario.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        vsim::Scenario s = vsim::LoadScenarioText(text, "fuzz.yaml");
        (void)s;
    } catch (const vsim::ScenarioError& e) {
        if (e.file != "fuzz.yaml") __builtin_trap();
    }
    vetrona::client::Policy policy;
    vetrona::client::PolicyError error;
    std::vector<std::pair<std::string, std::string>> extra;
    if (!vetrona::client::ParsePolicyText(text, &policy, &error, &extra) && error.message.empty()) __builtin_trap();
    return 0;
}
