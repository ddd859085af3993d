// The component-model base: 128-bit interface identifiers, the generic unknown interface,
// the TIOUnknown template that supplies query/add-reference/release, and TIOPtr, the counted
// pointer that holds every reference inside the code.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstring>
#include <tuple>
#include <utility>

#include "dravo/status.h"

#pragma pack(push, 1)
struct IOGUID
{
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};
#pragma pack(pop)

inline bool operator==(const IOGUID& a, const IOGUID& b)
{
    return std::memcmp(&a, &b, sizeof(IOGUID)) == 0;
}

// Interfaces are abstract structs whose virtual functions follow the documented slot order.
// They have no virtual destructor: the last Release destroys the implementing object.
struct IIOUnknown
{
    static constexpr IOGUID IID = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    virtual HRESULT QueryInterface(const IOGUID& iid, void** out) = 0;
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;

protected:
    ~IIOUnknown() = default;
};

// Supplies the unknown triple for an implementation deriving from one or more interfaces.
// The count starts at 1 (the creator's reference) and changes atomically. The first
// interface answers the generic unknown identifier.
template <class... Interfaces> class TIOUnknown : public Interfaces...
{
public:
    TIOUnknown() = default;
    TIOUnknown(const TIOUnknown&) = delete;
    TIOUnknown& operator=(const TIOUnknown&) = delete;

    HRESULT QueryInterface(const IOGUID& iid, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        if (iid == IIOUnknown::IID)
            *out = FirstInterface();
        else
            (void)(TryInterface<Interfaces>(iid, out) || ...);
        if (*out == nullptr)
            *out = QueryExtraInterface(iid);
        if (*out == nullptr)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    uint32_t AddRef() override { return m_refs.fetch_add(1, std::memory_order_relaxed) + 1; }
    uint32_t Release() override
    {
        const uint32_t left = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0)
            delete this;
        return left;
    }
    uint32_t RefCount() const { return m_refs.load(); }

protected:
    virtual ~TIOUnknown() = default;
    // Lets a class answer identifiers of interfaces it reaches through a member object.
    // Returns a pointer without adding a reference (QueryInterface adds it).
    virtual void* QueryExtraInterface(const IOGUID&) { return nullptr; }

private:
    template <class I> bool TryInterface(const IOGUID& iid, void** out)
    {
        if (iid == I::IID)
        {
            *out = static_cast<I*>(this);
            return true;
        }
        return false;
    }
    void* FirstInterface()
    {
        using First = std::tuple_element_t<0, std::tuple<Interfaces...>>;
        return static_cast<First*>(this);
    }

    std::atomic<uint32_t> m_refs{1};
};

// Counted pointer. Construction from a raw pointer adds a reference; Attach takes over one.
template <class T> class TIOPtr
{
public:
    TIOPtr() = default;
    TIOPtr(std::nullptr_t) {}
    TIOPtr(T* p) : m_p(p)
    {
        if (m_p)
            m_p->AddRef();
    }
    TIOPtr(const TIOPtr& o) : TIOPtr(o.m_p) {}
    TIOPtr(TIOPtr&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
    template <class U> TIOPtr(const TIOPtr<U>& o) : TIOPtr(o.Get()) {}
    ~TIOPtr() { Reset(); }

    TIOPtr& operator=(const TIOPtr& o)
    {
        TIOPtr(o).Swap(*this);
        return *this;
    }
    TIOPtr& operator=(TIOPtr&& o) noexcept
    {
        TIOPtr(std::move(o)).Swap(*this);
        return *this;
    }
    TIOPtr& operator=(std::nullptr_t)
    {
        Reset();
        return *this;
    }

    static TIOPtr Adopt(T* p)
    {
        TIOPtr r;
        r.m_p = p;
        return r;
    }
    void Attach(T* p)
    {
        Reset();
        m_p = p;
    }
    T* Detach() { return std::exchange(m_p, nullptr); }
    void Reset()
    {
        if (T* p = std::exchange(m_p, nullptr))
            p->Release();
    }
    void Swap(TIOPtr& o) noexcept { std::swap(m_p, o.m_p); }

    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    T& operator*() const { return *m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    bool operator==(const TIOPtr& o) const { return m_p == o.m_p; }

    // For out-parameters: releases what is held and hands out the slot.
    T** Out()
    {
        Reset();
        return &m_p;
    }

private:
    T* m_p = nullptr;
};
