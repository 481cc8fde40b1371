#!/usr/bin/env bash
# The shared library exports the plug-in's functions under their plain C
# names, and FXB as data, so that a host finds them with dlsym.
set -euo pipefail
lib="$1"
symbols=$(nm -D --defined-only "$lib")
missing=0
for name in InitSlot GetID GetModuleCount GetModuleRecord GetCurrentData GetAccumulatedData GetArhiveCount \
            GetArhiveTime_Hour GetArhiveStop_Hour GetArhiveT_Hour GetArhiveU_Hour GetArhiveM_Hour GetArhiveE_Hour \
            GetArhiveTime_Day GetArhiveStop_Day GetArhiveT_Day GetArhiveU_Day GetArhiveM_Day GetArhiveE_Day \
            GetErrorHDev GetErrorHModule GetErrorDataDev GetErrorDataModule GetEditHModule GetEditDataModule \
            PumpMessages SetMessageBoxHandler SetProgressHandler SetTraceHandler SetReadConfirmation \
            q31_options_init q31_options_check q31_session_open q31_session_close q31_cancel q31_get_id q31_get_module_count \
            q31_get_module_record q31_get_current_data q31_get_accumulated_data q31_get_archive_count \
            q31_get_archive_series q31_get_error_head_device q31_get_error_head_module q31_get_error_block_device \
            q31_get_error_block_module q31_get_edit_head_module q31_get_edit_block_module q31_session_set_trace q31_strerror \
            q31_quiet_bound_ms q31_probe_id q31_service q31_port_settings_init q31_port_open q31_port_error \
            q31_port_close; do
  if ! grep -qE " T ${name}\$" <<<"$symbols"; then echo "missing function export: $name"; missing=1; fi
done
if ! grep -qE " [BD] FXB\$" <<<"$symbols"; then echo "missing data export: FXB"; missing=1; fi
# Nothing of the library's own C++ leaks out beside the C API.
leaked=$(grep -E ' T _ZN3q31' <<<"$symbols" || true)
if [ -n "$leaked" ]; then echo "internal symbols exported:"; echo "$leaked"; missing=1; fi
[ $missing = 0 ] && echo "all exports present"
exit $missing
