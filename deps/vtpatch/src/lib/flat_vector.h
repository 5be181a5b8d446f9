#ifndef VTPATCH_FLAT_VECTOR_H
#define VTPATCH_FLAT_VECTOR_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

namespace vtpatch {

// A flat, growable array of plain values that never throws. Growth doubles the capacity,
// starting from kMinCapacity; the first allocation that fails releases the buffer and puts the
// vector into a permanent failed state in which every later append, resize or reservation fails
// and size() is 0. Used for the tables of encoded programs, which are filled one value at a time.
//
// Not thread-safe; a vector belongs to one object at a time (copies are deleted: they would
// have to allocate, and a failed copy cannot be reported from a copy constructor).
template <typename T, size_t kMinCapacity> class FlatVector {
    static_assert(std::is_trivially_copyable<T>::value, "FlatVector holds plain values only");

public:
    FlatVector() = default;
    ~FlatVector() { delete[] data_; }
    FlatVector(const FlatVector &) = delete;
    FlatVector &operator=(const FlatVector &) = delete;

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    bool failed() const { return failed_; }
    const T *data() const { return data_; }
    T *data() { return data_; }
    // Unchecked; callers test the index against size() first.
    T operator[](size_t index) const { return data_[index]; }
    T &operator[](size_t index) { return data_[index]; }

    bool Append(T value)
    {
        if (size_ == capacity_ && !Grow(size_ + 1))
            return false;
        data_[size_++] = value;
        return true;
    }

    bool Append(const T *values, size_t count)
    {
        if (failed_ || count > std::numeric_limits<size_t>::max() / sizeof(T) - size_)
            return Fail();
        if (count == 0)
            return true;
        if (capacity_ - size_ < count && !Grow(size_ + count))
            return false;
        std::memcpy(data_ + size_, values, count * sizeof(T));
        size_ += count;
        return true;
    }

    // Grows (by doubling) or shrinks to `count` values; new values are `fill`.
    bool Resize(size_t count, T fill)
    {
        if (count > capacity_ && !Grow(count))
            return false;
        for (size_t i = size_; i < count; ++i)
            data_[i] = fill;
        size_ = count;
        return !failed_;
    }

    // Makes room for exactly `count` values in total, without doubling: for tables whose final
    // size is known before they are filled.
    bool Reserve(size_t count)
    {
        if (failed_)
            return false;
        if (count <= capacity_)
            return true;
        return Reallocate(count < kMinCapacity ? kMinCapacity : count);
    }

    void Clear()
    {
        delete[] data_;
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

private:
    bool Fail()
    {
        Clear();
        failed_ = true;
        return false;
    }

    bool Grow(size_t needed)
    {
        if (failed_)
            return false;
        constexpr size_t kMaxCount = std::numeric_limits<size_t>::max() / sizeof(T);
        if (needed > kMaxCount)
            return Fail();
        size_t capacity = capacity_ == 0 ? kMinCapacity : capacity_;
        while (capacity < needed)
            capacity = capacity > kMaxCount / 2 ? kMaxCount : capacity * 2;
        return Reallocate(capacity);
    }

    bool Reallocate(size_t capacity)
    {
        if (capacity > std::numeric_limits<size_t>::max() / sizeof(T))
            return Fail();
        T *fresh = new (std::nothrow) T[capacity];
        if (fresh == nullptr)
            return Fail();
        if (size_ != 0)
            std::memcpy(fresh, data_, size_ * sizeof(T));
        delete[] data_;
        data_ = fresh;
        capacity_ = capacity;
        return true;
    }

    T *data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    bool failed_ = false;
};

} // namespace vtpatch

#endif // VTPATCH_FLAT_VECTOR_H
