#include "tools/q31/common/MeterLine.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "support/ProcessInfo.h"

namespace q31::tool {

namespace {

// How long q31-sim may take to name its pseudo-terminal.
constexpr int kSimStartMs = 10000;

namespace fs = std::filesystem;

bool Executable(const fs::path& path) {
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    return !error && fs::is_regular_file(status) && (status.permissions() & fs::perms::owner_exec) != fs::perms::none;
}

// The bus file q31-sim reads while it starts, in a directory of its own
// that no one else can have made (no file planted there is written
// through); removed once q31-sim has read it.
class BusFile {
public:
    explicit BusFile(const std::string& text) {
        if (text.empty()) return;
        std::error_code error;
        const fs::path temp = fs::temp_directory_path(error);
        if (error) return;
        std::random_device random;
        for (int attempt = 0; attempt < 8 && dir_.empty(); ++attempt) {
            const fs::path dir = temp / ("q31-sim-" + std::to_string(random()));
            if (fs::create_directory(dir, error)) dir_ = dir;
        }
        if (dir_.empty()) return;
        const fs::path file = dir_ / "bus.toml";
        std::ofstream out(file, std::ios::out | std::ios::trunc);
        out << text;
        out.close();
        if (out) path_ = file.string();
    }
    ~BusFile() {
        std::error_code ignored;
        if (!dir_.empty()) fs::remove_all(dir_, ignored);
    }
    BusFile(const BusFile&) = delete;
    BusFile& operator=(const BusFile&) = delete;
    const std::string& Path() const { return path_; }

private:
    fs::path dir_;
    std::string path_;
};

}  // namespace

std::string MeterLine::SimProgram() {
    const fs::path here = ProgramDirectory(nullptr);
    for (const fs::path& candidate : {here / "q31-sim", here / "sim" / "q31-sim"})
        if (Executable(candidate)) return candidate.string();
    const char* searchPath = std::getenv("PATH");
    std::string dirs = searchPath ? searchPath : "";
    for (std::size_t start = 0; start <= dirs.size();) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string dir = dirs.substr(start, end - start);
        if (!dir.empty() && Executable(fs::path(dir) / "q31-sim")) return (fs::path(dir) / "q31-sim").string();
        start = end + 1;
    }
    // Nothing relative to the working directory is ever run.
    return {};
}

MeterLine::MeterLine(const LinePlan& plan, const PluginApi* plugin) : virtual_(plan.isVirtual), path_(plan.port) {
    if (virtual_ && !StartSim(plan)) return;
    if (!virtual_ && IsUrl(path_)) {
        OpenRemote(plan, plugin);
        return;
    }
    handle_ = OpenHostPort(path_.c_str(), plan.settings, &osError_);
    if (Open()) return;
    error_ = "cannot open " + path_ + ": " + HostPortOpenErrorText(osError_);
    busy_ = HostPortBusy(osError_);
}

bool MeterLine::StartSim(const LinePlan& plan) {
    const std::string what = "cannot start the virtual meter" + (plan.port.empty() ? "" : " " + plan.port);
    const std::string program = SimProgram();
    if (program.empty()) {
        error_ = what + ": q31-sim is neither beside " + ProgramDirectory(nullptr) + " nor on the PATH";
        return false;
    }
    const BusFile bus(plan.simBus);
    if (!plan.simBus.empty() && bus.Path().empty()) {
        error_ = what + ": cannot write its bus file";
        return false;
    }
    std::vector<std::string> arguments = plan.simArguments;
    if (!bus.Path().empty()) arguments.insert(arguments.end(), {"--bus", bus.Path()});
    // q31-sim names its pseudo-terminal once it serves, having read the
    // bus file; it says on standard error why it could not.
    if (sim_.Start(program, arguments)) path_ = sim_.FirstLine(kSimStartMs);
    if (path_.empty()) {
        sim_.Stop();
        error_ = what + " (" + program + ")";
        return false;
    }
    return true;
}

void MeterLine::OpenRemote(const LinePlan& plan, const PluginApi* plugin) {
    if (plugin == nullptr) {
        error_ = "cannot open " + path_ + ": no plug-in to open a network line";
        return;
    }
    q31_port_settings settings{};
    plugin->port_settings_init(&settings);
    settings.baud = plan.settings.baud;
    settings.parity = plan.settings.parity == HostParity::Odd    ? Q31_PARITY_ODD
                      : plan.settings.parity == HostParity::Even ? Q31_PARITY_EVEN
                                                                 : Q31_PARITY_NONE;
    settings.stop_bits = static_cast<std::uint8_t>(plan.settings.stopBits);
    Q31PortHandle port = 0;
    const int status = plugin->port_open(path_.c_str(), &settings, &port);
    badUrl_ = status == Q31_ERR_ARGUMENT;
    if (status == Q31_OK) {
        handle_ = port;
        remote_ = plugin;
        return;
    }
    char why[256];
    osError_ = plugin->port_error(why, sizeof why);
    error_ = "cannot open " + path_ + ": " + why;
}

MeterLine::~MeterLine() {
    if (remote_) remote_->port_close(handle_);
    else CloseHostPort(handle_);
    sim_.Stop();
}

}  // namespace q31::tool
