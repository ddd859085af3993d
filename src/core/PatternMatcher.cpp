#include "core/PatternMatcher.h"

#include <array>

namespace
{
// Backtracking is bounded by the pattern's nesting; patterns are short, so a fixed snapshot
// of the fields is enough to undo a failed path.
constexpr size_t kMaxSnapshot = 16;

struct SSnapshot
{
    std::array<SPatternField, kMaxSnapshot> saved;
    size_t count = 0;

    explicit SSnapshot(std::span<SPatternField> fields)
    {
        count = fields.size() < kMaxSnapshot ? fields.size() : kMaxSnapshot;
        for (size_t i = 0; i < count; ++i)
            saved[i] = fields[i];
    }
    void Restore(std::span<SPatternField> fields) const
    {
        for (size_t i = 0; i < count; ++i)
            fields[i] = saved[i];
    }
};

// What the rest of the enclosing pattern must match after a part.
struct SCont
{
    bool (*fn)(const void* ctx, size_t textPos, size_t field);
    const void* ctx;
    bool operator()(size_t textPos, size_t field) const { return fn(ctx, textPos, field); }
};

char Lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = Lower(c);
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Index just past the ']' closing the '[' at `open`, or npos.
size_t SkipGroup(std::string_view p, size_t open)
{
    int depth = 0;
    for (size_t i = open; i < p.size(); ++i)
    {
        if (p[i] == '\\')
        {
            ++i;
            continue;
        }
        if (p[i] == '[')
            ++depth;
        else if (p[i] == ']' && --depth == 0)
            return i + 1;
    }
    return std::string_view::npos;
}

class CMatcher
{
public:
    CMatcher(std::string_view text, std::span<SPatternField> fields) : m_text(text), m_fields(fields) {}

    bool Seq(std::string_view p, size_t t, size_t f, const SCont& k) const
    {
        // Alternatives of this level.
        for (size_t i = 0; i < p.size(); ++i)
        {
            if (p[i] == '\\')
                ++i;
            else if (p[i] == '[')
            {
                const size_t end = SkipGroup(p, i);
                if (end == std::string_view::npos)
                    return false;
                i = end - 1;
            }
            else if (p[i] == '|')
            {
                const SSnapshot snap(m_fields);
                if (Seq(p.substr(0, i), t, f, k))
                    return true;
                snap.Restore(m_fields);
                return Seq(p.substr(i + 1), t, f, k);
            }
        }
        return Items(p, t, f, k);
    }

private:
    // A sequence without alternatives at its own level.
    bool Items(std::string_view p, size_t t, size_t f, const SCont& k) const
    {
        while (!p.empty())
        {
            const char c = p[0];
            if (c == '[')
            {
                const size_t end = SkipGroup(p, 0);
                if (end == std::string_view::npos)
                    return false;
                const std::string_view inner = p.substr(1, end - 2);
                const std::string_view rest = p.substr(end);
                struct SRest
                {
                    const CMatcher* self;
                    std::string_view rest;
                    const SCont* k;
                } ctx{this, rest, &k};
                const SCont afterGroup{[](const void* c, size_t tp, size_t fp)
                                       {
                                           const auto* r = static_cast<const SRest*>(c);
                                           return r->self->Seq(r->rest, tp, fp, *r->k);
                                       },
                                       &ctx};
                const SSnapshot snap(m_fields);
                if (Seq(inner, t, f, afterGroup))
                    return true;
                snap.Restore(m_fields);
                p = rest;
                continue;
            }
            if (c == '#' || c == '$')
            {
                size_t end = t;
                if (!ReadNumber(c == '$', end, f))
                    return false;
                t = end;
                ++f;
                p.remove_prefix(1);
                continue;
            }
            char literal = c;
            if (c == '\\')
            {
                if (p.size() < 2)
                    return false;
                literal = p[1];
                p.remove_prefix(1);
            }
            if (t >= m_text.size() || Lower(m_text[t]) != Lower(literal))
                return false;
            ++t;
            p.remove_prefix(1);
        }
        return k(t, f);
    }

    bool ReadNumber(bool hex, size_t& t, size_t f) const
    {
        if (!hex && t < m_text.size() && m_text[t] == '+')
            ++t;
        const uint32_t max = f < m_fields.size() ? m_fields[f].max : UINT32_MAX;
        uint64_t value = 0;
        size_t digits = 0;
        while (t < m_text.size())
        {
            const int d =
                hex ? HexDigit(m_text[t]) : ((m_text[t] >= '0' && m_text[t] <= '9') ? m_text[t] - '0' : -1);
            if (d < 0)
                break;
            value = value * (hex ? 16 : 10) + uint64_t(d);
            if (value > max)
                return false;
            ++t;
            ++digits;
        }
        if (digits == 0)
            return false;
        if (f < m_fields.size())
        {
            m_fields[f].value = uint32_t(value);
            m_fields[f].set = true;
        }
        return true;
    }

    std::string_view m_text;
    std::span<SPatternField> m_fields;
};
} // namespace

int CPatternMatcher::MatchPrefix(std::string_view text, std::string_view pattern,
                                 std::span<SPatternField> fields)
{
    if (!IsValidPattern(pattern))
        return -1;
    size_t consumed = 0;
    const SCont done{[](const void* c, size_t t, size_t)
                     {
                         *static_cast<size_t*>(const_cast<void*>(c)) = t;
                         return true;
                     },
                     &consumed};
    const SSnapshot snap(fields);
    if (!CMatcher(text, fields).Seq(pattern, 0, 0, done))
    {
        snap.Restore(fields);
        return -1;
    }
    return int(consumed);
}

bool CPatternMatcher::MatchWhole(std::string_view text, std::string_view pattern,
                                 std::span<SPatternField> fields)
{
    if (!IsValidPattern(pattern))
        return false;
    const SCont atEnd{[](const void* c, size_t t, size_t)
                      {
                          const auto* s = static_cast<const std::string_view*>(c);
                          while (t < s->size() && (*s)[t] == ' ')
                              ++t;
                          return t == s->size();
                      },
                      &text};
    const SSnapshot snap(fields);
    if (!CMatcher(text, fields).Seq(pattern, 0, 0, atEnd))
    {
        snap.Restore(fields);
        return false;
    }
    return true;
}

bool CPatternMatcher::IsValidPattern(std::string_view pattern)
{
    int depth = 0;
    for (size_t i = 0; i < pattern.size(); ++i)
    {
        if (pattern[i] == '\\')
        {
            if (++i == pattern.size())
                return false;
        }
        else if (pattern[i] == '[')
            ++depth;
        else if (pattern[i] == ']' && --depth < 0)
            return false;
    }
    return depth == 0;
}
