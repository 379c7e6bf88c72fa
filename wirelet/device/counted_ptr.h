#pragma once
// CCountedPtr<T>: a counted shared handle. Handles that share an object point at one control
// block holding the object and a plain (not atomic) reference count: every handle of one object
// must be used by one thread at a time. The object is deleted, through its virtual destructor,
// when the last handle lets go. A block may hold no object: that is how "no match" is returned,
// so callers test Get(), not the handle.

#include <new>

template <typename T>
class CCountedPtr {
public:
    CCountedPtr() noexcept = default;
    // Takes ownership of object (which may be null) in a new block. If the block cannot be
    // allocated the object is deleted and std::bad_alloc propagates.
    explicit CCountedPtr(T* object) {
        try {
            m_Block = new SBlock{object != nullptr, object, 1};
        } catch (...) {
            delete object;
            throw;
        }
    }
    CCountedPtr(const CCountedPtr& other) noexcept : m_Block(other.m_Block) {
        if (m_Block != nullptr) ++m_Block->refs;
    }
    CCountedPtr(CCountedPtr&& other) noexcept : m_Block(other.m_Block) { other.m_Block = nullptr; }
    CCountedPtr& operator=(const CCountedPtr& other) noexcept {
        if (m_Block != other.m_Block) {
            Release();
            m_Block = other.m_Block;
            if (m_Block != nullptr) ++m_Block->refs;
        }
        return *this;
    }
    CCountedPtr& operator=(CCountedPtr&& other) noexcept {
        if (this != &other) {
            Release();
            m_Block = other.m_Block;
            other.m_Block = nullptr;
        }
        return *this;
    }
    ~CCountedPtr() { Release(); }

    // Drops this handle's reference; the handle becomes null.
    void Release() noexcept {
        SBlock* block = m_Block;
        m_Block = nullptr;
        if (block == nullptr || --block->refs > 0) return;
        if (block->owns && block->object != nullptr) delete block->object;
        delete block;
    }

    T* Get() const noexcept { return m_Block != nullptr ? m_Block->object : nullptr; }
    T* operator->() const noexcept { return Get(); }
    T& operator*() const noexcept { return *Get(); }
    // Number of handles sharing the block (0 for a null handle).
    int GetRefCount() const noexcept { return m_Block != nullptr ? m_Block->refs : 0; }

private:
    struct SBlock {
        bool owns;
        T* object;
        int refs;
    };
    SBlock* m_Block = nullptr;
};
