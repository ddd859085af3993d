// A value owned by a test: created empty, released at the end of the scope.
#pragma once
#include "dravo/hvalue.h"

class Value
{
public:
    Value() : m_v(hvCreate()) {}
    Value(const Value&) = delete;
    Value& operator=(const Value&) = delete;
    ~Value() { hvRelease(m_v); }
    operator HVALUE() const { return m_v; }

private:
    HVALUE m_v;
};
