#include "meter/TPublicNetKs_6x6.h"

namespace q31 {

TPublicNetKs_6x6::TPublicNetKs_6x6(TComponent* owner, MessageLoop& loop) : TPublicNetKs(owner, loop) {}

TPublicNetKs_6x6::~TPublicNetKs_6x6() = default;

}  // namespace q31
