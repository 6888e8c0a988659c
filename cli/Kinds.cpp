#include "cli/Kinds.h"

#include "app/Resources.h"

namespace quillet::cli {

namespace {
const KindInfo kKinds[] = {
    {"generator", "signal generator", IDC_SEARCH_GENERATOR, 0x00},
    {"analyzer", "signal analyzer", IDC_SEARCH_ANALYZER, 0x01},
    {"mv42", "4:2 multiviewer", IDC_SEARCH_MV42, 0x02},
    {"mv48", "4:8 multiviewer", IDC_SEARCH_MV48, 0x03},
    {"da28", "2:8 HDMI2.0 DA", IDC_SEARCH_DA28, 0x04},
    {"kx4", "matrix extender KX4", IDC_SEARCH_KX4, 0x05},
    {"mv99", "9:9 multiviewer", IDC_SEARCH_MV99, 0x06},
    {"mx88", "8:8 HDMI2.0 matrix", IDC_SEARCH_MX88, 0x07},
};
} // namespace

const KindInfo* FindKind(const std::string& name) {
    for (const auto& k : kKinds)
        if (name == k.name) return &k;
    return nullptr;
}

const KindInfo& KindOrGenerator(const std::string* name) {
    const KindInfo* k = name ? FindKind(*name) : nullptr;
    return k ? *k : kKinds[0];
}

std::string KindNames() {
    std::string s;
    for (const auto& k : kKinds) {
        if (!s.empty()) s += ", ";
        s += k.name;
    }
    return s;
}

} // namespace quillet::cli
