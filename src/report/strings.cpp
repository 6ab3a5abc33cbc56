// The model's pool of texts.
#include "report/model.h"

#include <functional>

namespace vt {
namespace report {

Strings::Strings() : offsets_{0} {}

Strings::Id Strings::add(std::string_view text) {
    arena_.append(text);
    offsets_.push_back(arena_.size());
    return static_cast<Id>(offsets_.size() - 2);
}

Strings::Id Strings::intern(std::string_view text) {
    if (slots_.empty()) rehash(1024);
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = std::hash<std::string_view>()(text) & mask;
    for (; slots_[i] != kFree; i = (i + 1) & mask)
        if ((*this)[slots_[i]] == text) return slots_[i];
    const Id id = add(text);
    slots_[i] = id;
    if (++interned_ * 2 > slots_.size()) rehash(slots_.size() * 2);
    return id;
}

void Strings::rehash(std::size_t slots) {
    std::vector<Id> old(slots, kFree);
    old.swap(slots_);
    const std::size_t mask = slots - 1;
    for (const Id id : old) {
        if (id == kFree) continue;
        std::size_t i = std::hash<std::string_view>()((*this)[id]) & mask;
        while (slots_[i] != kFree) i = (i + 1) & mask;
        slots_[i] = id;
    }
}

}  // namespace report
}  // namespace vt
