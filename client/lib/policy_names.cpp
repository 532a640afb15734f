// Names a policy writer uses that the driver does not: registry keys by their
// root keys' short names (HKLM\..., HKCU\...), and help with a mistyped
// operation name.
#include "client/lib/policy.h"

#include <algorithm>
#include <cctype>

namespace vetrona::client {

namespace {

char FoldChar(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

std::string Folded(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = FoldChar(c);
    return out;
}

bool StartsFolded(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && Folded(text.substr(0, prefix.size())) == Folded(prefix);
}

// Edit distance with transpositions, without regard to case.
size_t Distance(std::string_view a, std::string_view b) {
    const std::string x = Folded(a), y = Folded(b);
    std::vector<std::vector<size_t>> d(x.size() + 1, std::vector<size_t>(y.size() + 1));
    for (size_t i = 0; i <= x.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= y.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= x.size(); ++i) {
        for (size_t j = 1; j <= y.size(); ++j) {
            const size_t cost = x[i - 1] == y[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && x[i - 1] == y[j - 2] && x[i - 2] == y[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[x.size()][y.size()];
}

std::string List(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& n : names) out += (out.empty() ? "" : ", ") + n;
    return out;
}

}  // namespace

std::vector<std::string> KeyNameForms(std::string_view keyPath) {
    std::vector<std::string> forms{std::string(keyPath)};
    constexpr std::string_view kMachine = "\\REGISTRY\\MACHINE";
    constexpr std::string_view kUsers = "\\REGISTRY\\USER";
    auto rest = [&](std::string_view root) { return std::string(keyPath.substr(root.size())); };
    auto under = [&](std::string_view root) {
        return StartsFolded(keyPath, root) && (keyPath.size() == root.size() || keyPath[root.size()] == '\\');
    };
    if (under(kMachine)) {
        forms.push_back("HKLM" + rest(kMachine));
        forms.push_back("HKEY_LOCAL_MACHINE" + rest(kMachine));
    } else if (under(kUsers)) {
        const std::string tail = rest(kUsers);
        forms.push_back("HKU" + tail);
        forms.push_back("HKEY_USERS" + tail);
        // \REGISTRY\USER\<sid>\X is X in that user's own hive: HKCU\X for
        // whichever user a program runs as; <sid>_Classes is the user's classes.
        if (tail.size() > 1) {
            const size_t end = tail.find('\\', 1);
            const std::string hive = tail.substr(1, end == std::string::npos ? std::string::npos : end - 1);
            const std::string inside = end == std::string::npos ? std::string() : tail.substr(end);
            constexpr std::string_view kClasses = "_Classes";
            if (hive.size() > kClasses.size() && Folded(hive.substr(hive.size() - kClasses.size())) == Folded(kClasses)) {
                forms.push_back("HKCU\\Software\\Classes" + inside);
                forms.push_back("HKEY_CURRENT_USER\\Software\\Classes" + inside);
            } else if (StartsFolded(hive, "S-1-")) {
                forms.push_back("HKCU" + inside);
                forms.push_back("HKEY_CURRENT_USER" + inside);
            }
        }
    }
    return forms;
}

std::vector<std::string> OperationNames(std::optional<uint32_t> eventClass) {
    std::vector<std::string> names;
    if (!eventClass || *eventClass == EVENT_CLASS_FILE) {
        // The operations a file event can carry; the create classifier's other
        // codes are never sent.
        for (int32_t op : {FileOpWriteAccess, FileOpCreated, FileOpWrite, FileOpCloseModified, FileOpRename, FileOpLink, FileOpDelete,
                           FileOpScsiWrite, FileOpAtaWrite}) {
            names.push_back(FileOpName(op));
        }
    }
    if (!eventClass || *eventClass == EVENT_CLASS_REGISTRY) {
        for (int32_t op = RegOpKeyCreated; op <= RegOpValueDeleted; ++op) names.push_back(RegOpName(op));
    }
    if (!eventClass || *eventClass == EVENT_CLASS_PROCESS) {
        names.push_back("start");
        names.push_back("exit");
    }
    return names;
}

std::vector<std::string> NearestNames(std::string_view text, const std::vector<std::string>& names) {
    // Nearest first: names that contain what was written, then by distance.
    std::vector<std::pair<size_t, std::string>> ranked;
    const std::string written = Folded(text);
    for (const std::string& name : names) {
        const bool contains = !written.empty() && Folded(name).find(written) != std::string::npos;
        const size_t distance = contains ? 0 : Distance(text, name);
        if (contains || distance <= std::max<size_t>(3, name.size() / 3)) ranked.emplace_back(distance, name);
    }
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> nearest;
    for (size_t i = 0; i < ranked.size() && i < 3 && ranked[i].first == ranked[0].first; ++i) nearest.push_back(ranked[i].second);
    return nearest;
}

std::string UnknownOperationMessage(std::optional<uint32_t> eventClass, std::string_view text) {
    const std::string quoted = "'" + std::string(text) + "'";
    if (eventClass) {
        // A name of another class: say whose.
        if (const auto owner = OperationClassOf(text); owner && *owner != *eventClass) {
            return "operation " + quoted + " belongs to class " + ClassName(*owner) + ", not " + ClassName(*eventClass) +
                   " (class " + ClassName(*eventClass) + " has " + List(OperationNames(eventClass)) + ")";
        }
    }
    const std::vector<std::string> names = OperationNames(eventClass);
    const std::vector<std::string> nearest = NearestNames(text, names);
    std::string message = "unknown operation " + quoted;
    if (eventClass) message += " for class " + std::string(ClassName(*eventClass));
    if (!nearest.empty()) message += "; did you mean " + List(nearest) + "?";
    message += eventClass ? " (class " + std::string(ClassName(*eventClass)) + " has " + List(names) + ")"
                          : " (give the class first; the operations are " + List(names) + ")";
    return message;
}

}  // namespace vetrona::client
