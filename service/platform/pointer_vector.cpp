#include "platform/pointer_vector.h"

#include <algorithm>
#include <new>

namespace SMImplementation {

PointerVector::PointerVector(uint32_t initialCapacity) {
    elements_ = new (std::nothrow) void*[initialCapacity];
    capacity_ = elements_ ? initialCapacity : 0;
}

PointerVector::~PointerVector() { delete[] elements_; }

bool PointerVector::appendClone(const void* element) {
    if (length_ == capacity_) {
        const uint32_t oldCapacity = capacity_;
        const uint32_t newCapacity = oldCapacity == 0 ? 10 : oldCapacity * 2;
        if (newCapacity <= oldCapacity) return false;  // cannot grow any further
        void** bigger = new (std::nothrow) void*[newCapacity];
        if (!bigger) return false;  // capacity stays as it was
        std::copy(elements_, elements_ + length_, bigger);
        delete[] elements_;
        elements_ = bigger;
        capacity_ = newCapacity;
    }
    void* clone = cloneElement(element);
    if (!clone) return false;
    elements_[length_++] = clone;
    return true;
}

void PointerVector::destroyAll() {
    for (uint32_t i = 0; i < length_; ++i) destroyElement(elements_[i]);
    length_ = 0;
}

}  // namespace SMImplementation

namespace RUZE {

StringVector::StringVector() : PointerVector(10) {}

StringVector::~StringVector() { destroyAll(); }

bool StringVector::append(const std::string& text) { return appendClone(&text); }

void StringVector::sort(bool (*less)(const std::string&, const std::string&)) {
    std::sort(elements_, elements_ + length_, [less](void* a, void* b) {
        return less(*static_cast<std::string*>(a), *static_cast<std::string*>(b));
    });
}

void StringVector::destroyElement(void* element) { delete static_cast<std::string*>(element); }

void* StringVector::cloneElement(const void* element) {
    try {
        return new std::string(*static_cast<const std::string*>(element));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace RUZE
