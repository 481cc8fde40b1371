#include "meter/FlashAddressMap.h"

namespace q31 {

namespace {

struct Group {
    int first;
    int count;
    std::uint32_t defaultFirst;
    std::uint32_t step;
};

// The default map, row by row; a group's entry k is first + k * step.
constexpr Group kDefaults[] = {
    {0, 1, 0, 0},           {1, 1, 1, 0},           {2, 1, 16, 0},          {3, 1, 256, 0},
    {4, 6, 768, 512},       {10, 7, 3840, 32},      {17, 1, 4096, 0},       {18, 1, 4224, 0},
    {19, 1, 4608, 0},       {20, 6, 5120, 512},     {26, 1, 8192, 0},       {27, 1, 8448, 0},
    {28, 1, 9472, 0},       {29, 1, 10496, 0},      {30, 1, 10752, 0},      {31, 6, 17424, 2376},
    {37, 6, 31680, 4488},   {43, 6, 58608, 4488},   {49, 6, 85536, 4488},   {55, 6, 112464, 4488},
    {61, 6, 139392, 4488},  {67, 6, 166320, 4488},  {73, 6, 193248, 4488},  {79, 6, 220176, 4488},
    {85, 6, 247104, 4488},  {91, 6, 272976, 1320},  {97, 6, 280896, 2376},  {103, 6, 295152, 2376},
    {109, 6, 309408, 2376}, {115, 6, 323664, 2376}, {121, 6, 337920, 2376}, {127, 6, 352176, 2376},
    {133, 6, 366432, 2376}, {139, 6, 380688, 2376}, {145, 6, 394944, 2376}, {151, 2, 409728, 4488},
    {153, 2, 418704, 2376}, {155, 1, 423456, 0},    {156, 1, 427936, 0},    {157, 8, 430312, 2376},
    {165, 8, 449320, 2376}, {173, 1, 468328, 0},    {174, 1, 476248, 0},
};

// The groups a meter's record sets, in the order of its fields Area0 to Area25.
struct AreaGroup {
    int first;
    int count;
    std::uint32_t step;
};
constexpr AreaGroup kAreas[26] = {
    {155, 1, 0},    {31, 6, 2376},  {37, 6, 4488},  {43, 6, 4488},  {49, 6, 4488},  {55, 6, 4488},  {61, 6, 4488},
    {67, 6, 4488},  {73, 6, 4488},  {79, 6, 4488},  {85, 6, 4488},  {157, 8, 2376}, {151, 2, 4488}, {156, 1, 0},
    {91, 6, 1320},  {97, 6, 2376},  {103, 6, 2376}, {109, 6, 2376}, {115, 6, 2376}, {121, 6, 2376}, {127, 6, 2376},
    {133, 6, 2376}, {139, 6, 2376}, {145, 6, 2376}, {165, 8, 2376}, {153, 2, 2376},
};

void Fill(std::uint32_t* map) {
    for (const Group& g : kDefaults)
        for (int k = 0; k < g.count; ++k) map[g.first + k] = g.defaultFirst + static_cast<std::uint32_t>(k) * g.step;
}

std::uint32_t* Defaults(std::uint32_t* map) {
    Fill(map);
    return map;
}

}  // namespace

// Holds the defaults from the moment the library is loaded.
std::uint32_t FlashAddressMap[kFlashAddressCount] = {};
namespace {
const std::uint32_t* const g_filled = Defaults(FlashAddressMap);
}  // namespace

void SetFlashAddressDefault() { Fill(FlashAddressMap); }

void SetFlashAddress(const SDevQ31* d) {
    if (!d) return;
    const std::uint32_t fields[26] = {d->Area0,  d->Area1,  d->Area2,  d->Area3,  d->Area4,  d->Area5,  d->Area6,
                                      d->Area7,  d->Area8,  d->Area9,  d->Area10, d->Area11, d->Area12, d->Area13,
                                      d->Area14, d->Area15, d->Area16, d->Area17, d->Area18, d->Area19, d->Area20,
                                      d->Area21, d->Area22, d->Area23, d->Area24, d->Area25};
    FlashAddressMap[AddrBase] = d->Base;
    for (int i = 0; i < 26; ++i)
        for (int k = 0; k < kAreas[i].count; ++k)
            FlashAddressMap[kAreas[i].first + k] = fields[i] + d->Base + static_cast<std::uint32_t>(k) * kAreas[i].step;
    FlashAddressMap[AddrErrorLog] = static_cast<std::uint32_t>(d->ErrorLog) + d->Base;
    FlashAddressMap[AddrEditLog] = static_cast<std::uint32_t>(d->EditLog) + d->Base;
}

}  // namespace q31
