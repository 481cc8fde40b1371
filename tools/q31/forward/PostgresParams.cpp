#include "tools/q31/forward/PostgresParams.h"

#include <cstring>

namespace q31::tool::forward {

Oid PgTypeOid(char letter) {
    switch (letter) {
        case 'l': return kPgInt8;
        case 'i': return kPgInt4;
        case 'L': return kPgInt8Array;
        case 'I': return kPgInt4Array;
        case 'B': return kPgByteaArray;
        case 'F': return kPgFloat8Array;
        case 'T': return kPgTextArray;
        default: return kPgText;
    }
}

void PutInt32(std::string& out, std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    const char bytes[4] = {static_cast<char>(u >> 24), static_cast<char>(u >> 16), static_cast<char>(u >> 8),
                           static_cast<char>(u)};
    out.append(bytes, 4);
}

void PutInt64(std::string& out, std::int64_t v) {
    const auto u = static_cast<std::uint64_t>(v);
    PutInt32(out, static_cast<std::int32_t>(u >> 32));
    PutInt32(out, static_cast<std::int32_t>(u & 0xFFFFFFFFu));
}

void PutFloat64(std::string& out, double v) {
    std::uint64_t bits = 0;
    static_assert(sizeof bits == sizeof v);
    std::memcpy(&bits, &v, sizeof bits);
    PutInt64(out, static_cast<std::int64_t>(bits));
}

void PutArrayHeader(std::string& out, Oid element, std::size_t count) {
    PutInt32(out, count ? 1 : 0);
    PutInt32(out, 0);
    PutInt32(out, static_cast<std::int32_t>(element));
    if (count == 0) return;
    PutInt32(out, static_cast<std::int32_t>(count));
    PutInt32(out, 1);
}

PostgresParams& PostgresParams::Text(const std::string& v) {
    data[count].assign(v);
    null[count++] = false;
    return *this;
}

PostgresParams& PostgresParams::Int8(std::int64_t v) {
    data[count].clear();
    PutInt64(data[count], v);
    null[count++] = false;
    return *this;
}

PostgresParams& PostgresParams::Int4(std::int32_t v) {
    data[count].clear();
    PutInt32(data[count], v);
    null[count++] = false;
    return *this;
}

PostgresParams& PostgresParams::Null() {
    data[count].clear();
    null[count++] = true;
    return *this;
}

std::string& PostgresParams::Raw() {
    data[count].clear();
    null[count] = false;
    return data[count++];
}

}  // namespace q31::tool::forward
