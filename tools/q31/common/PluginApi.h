// The plug-in as a host sees it: a shared library and the context API's
// exports, looked up by their plain names.
#pragma once

#include <string>

#include "platform/DynamicLibrary.h"
#include "publicQ31.h"

namespace q31::tool {

struct PluginApi {
    decltype(&::q31_options_init) options_init = nullptr;
    decltype(&::q31_session_open) session_open = nullptr;
    decltype(&::q31_session_close) session_close = nullptr;
    decltype(&::q31_session_set_trace) session_set_trace = nullptr;
    decltype(&::q31_cancel) cancel = nullptr;
    decltype(&::q31_get_id) get_id = nullptr;
    decltype(&::q31_get_module_count) get_module_count = nullptr;
    decltype(&::q31_get_module_record) get_module_record = nullptr;
    decltype(&::q31_get_current_data) get_current_data = nullptr;
    decltype(&::q31_get_accumulated_data) get_accumulated_data = nullptr;
    decltype(&::q31_get_archive_count) get_archive_count = nullptr;
    decltype(&::q31_get_archive_series) get_archive_series = nullptr;
    decltype(&::q31_get_error_head_device) get_error_head_device = nullptr;
    decltype(&::q31_get_error_head_module) get_error_head_module = nullptr;
    decltype(&::q31_get_error_block_device) get_error_block_device = nullptr;
    decltype(&::q31_get_error_block_module) get_error_block_module = nullptr;
    decltype(&::q31_get_edit_head_module) get_edit_head_module = nullptr;
    decltype(&::q31_get_edit_block_module) get_edit_block_module = nullptr;
    decltype(&::q31_probe_id) probe_id = nullptr;
    decltype(&::q31_service) service = nullptr;
    decltype(&::q31_quiet_bound_ms) quiet_bound_ms = nullptr;
    decltype(&::q31_strerror) strerror = nullptr;
    decltype(&::PumpMessages) PumpMessages = nullptr;
    decltype(&::q31_port_settings_init) port_settings_init = nullptr;
    decltype(&::q31_port_open) port_open = nullptr;
    decltype(&::q31_port_error) port_error = nullptr;
    decltype(&::q31_port_close) port_close = nullptr;

    // Loads the library and every export. On failure `error` says what is missing.
    bool Load(const std::string& path, std::string& error);

private:
    DynamicLibrary library_;
};

}  // namespace q31::tool
