// A prepared statement's parameters in PostgreSQL's binary format, and the
// pieces of that format the sink writes besides (COPY rows, arrays).
#pragma once

#include <postgres_ext.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace q31::tool::forward {

// Type oids of the parameters, fixed in every PostgreSQL.
constexpr Oid kPgText = 25;
constexpr Oid kPgInt8 = 20;
constexpr Oid kPgInt4 = 23;
constexpr Oid kPgBytea = 17;
constexpr Oid kPgInt4Array = 1007;
constexpr Oid kPgInt8Array = 1016;
constexpr Oid kPgByteaArray = 1001;
constexpr Oid kPgFloat8 = 701;
constexpr Oid kPgTimestamptz = 1184;
constexpr Oid kPgFloat8Array = 1022;
constexpr Oid kPgTextArray = 1009;

// The oid of a statement's parameter type letter: t text, l int8, i int4,
// L int8[], I int4[], B bytea[], F float8[], T text[].
Oid PgTypeOid(char letter);

// Big-endian, as the binary format has them.
void PutInt32(std::string& out, std::int32_t v);
void PutInt64(std::string& out, std::int64_t v);
void PutFloat64(std::string& out, double v);
// A NULL field of a COPY row or NULL element of an array: length -1, no bytes.
inline void PutNull(std::string& out) { PutInt32(out, -1); }
// The head of a one-dimensional array (its elements may be NULLs all the same).
void PutArrayHeader(std::string& out, Oid element, std::size_t count);

// The buffers are kept from one statement to the next.
struct PostgresParams {
    static constexpr int kMax = 14;
    std::string data[kMax];
    bool null[kMax] = {};
    int count = 0;

    void Clear() { count = 0; }
    PostgresParams& Text(const std::string& v);
    PostgresParams& Int8(std::int64_t v);
    PostgresParams& Int4(std::int32_t v);
    PostgresParams& Null();
    std::string& Raw();  // for arrays, which the caller fills
};

}  // namespace q31::tool::forward
