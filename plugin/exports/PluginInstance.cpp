#include "plugin/exports/PluginInstance.h"

#include "plugin/TFXB.h"
#include "publicQ31.h"

namespace q31 {

TFXB& PluginForm() {
    static TFXB* form = [] {
        auto* created = new TFXB;
        ::FXB = reinterpret_cast<::TFXB*>(created);
        return created;
    }();
    return *form;
}

namespace {
// The form exists from the moment the library is loaded, as hosts expect of
// the exported FXB. Creating it starts no thread and opens no window.
const bool g_created = (PluginForm(), true);
}  // namespace

}  // namespace q31
