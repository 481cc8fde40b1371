#include "tools/q31/common/PluginApi.h"

#include <type_traits>

namespace q31::tool {

bool PluginApi::Load(const std::string& path, std::string& error) {
    if (!library_.Open(path.c_str())) {
        error = "cannot load the plug-in " + path + ": " + library_.Error();
        return false;
    }
    std::string missing;
    auto take = [&](auto& slot, const char* name) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(library_.Symbol(name));
        if (!slot) missing += std::string(missing.empty() ? "" : ", ") + name;
    };
    take(options_init, "q31_options_init");
    take(session_open, "q31_session_open");
    take(session_close, "q31_session_close");
    take(session_set_trace, "q31_session_set_trace");
    take(cancel, "q31_cancel");
    take(get_id, "q31_get_id");
    take(get_module_count, "q31_get_module_count");
    take(get_module_record, "q31_get_module_record");
    take(get_current_data, "q31_get_current_data");
    take(get_accumulated_data, "q31_get_accumulated_data");
    take(get_archive_count, "q31_get_archive_count");
    take(get_archive_series, "q31_get_archive_series");
    take(get_error_head_device, "q31_get_error_head_device");
    take(get_error_head_module, "q31_get_error_head_module");
    take(get_error_block_device, "q31_get_error_block_device");
    take(get_error_block_module, "q31_get_error_block_module");
    take(get_edit_head_module, "q31_get_edit_head_module");
    take(get_edit_block_module, "q31_get_edit_block_module");
    take(probe_id, "q31_probe_id");
    take(service, "q31_service");
    take(quiet_bound_ms, "q31_quiet_bound_ms");
    take(strerror, "q31_strerror");
    take(PumpMessages, "PumpMessages");
    take(port_settings_init, "q31_port_settings_init");
    take(port_open, "q31_port_open");
    take(port_error, "q31_port_error");
    take(port_close, "q31_port_close");
    if (!missing.empty()) error = path + " lacks exports: " + missing;
    return missing.empty();
}

}  // namespace q31::tool
