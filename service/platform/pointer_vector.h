#pragma once
// An owning vector of element pointers with a growable capacity, and the string vector that
// carries folder listings.
#include <cstdint>
#include <string>

namespace SMImplementation {

class PointerVector {
public:
    virtual ~PointerVector();  // frees the buffer; derived classes destroy the elements

    uint32_t length() const { return length_; }
    uint32_t capacity() const { return capacity_; }

    PointerVector(const PointerVector&) = delete;
    PointerVector& operator=(const PointerVector&) = delete;

protected:
    explicit PointerVector(uint32_t initialCapacity);

    virtual void destroyElement(void* element) = 0;
    virtual void* cloneElement(const void* element) = 0;

    // Stores a clone of `element`; doubles the capacity when full. False (vector unchanged)
    // when memory runs out.
    bool appendClone(const void* element);
    void destroyAll();

    void** elements_ = nullptr;
    uint32_t length_ = 0;
    uint32_t capacity_ = 0;
};

}  // namespace SMImplementation

namespace RUZE {

class StringVector : public SMImplementation::PointerVector {
public:
    StringVector();
    ~StringVector() override;

    uint32_t size() const { return length(); }
    const std::string& at(uint32_t index) const { return *static_cast<std::string*>(elements_[index]); }
    bool append(const std::string& text);

    // Sorts in place; `less` must be a strict weak ordering. Equal elements keep no
    // particular order.
    void sort(bool (*less)(const std::string&, const std::string&));

protected:
    void destroyElement(void* element) override;
    void* cloneElement(const void* element) override;
};

}  // namespace RUZE
