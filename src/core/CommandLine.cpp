#include "core/CommandLine.h"

#include <memory>
#include <mutex>

namespace {
std::mutex g_mutex;
std::unique_ptr<CommandLine> g_current;
}  // namespace

bool CommandLine::Init(int argc, const char* const* argv) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_current) {
        return false;
    }
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        args.emplace_back(argv[i] ? argv[i] : "");
    }
    g_current = std::make_unique<CommandLine>(args);
    return true;
}

CommandLine* CommandLine::ForCurrentProcess() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_current.get();
}

void CommandLine::Reset() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_current.reset();
}

CommandLine::CommandLine(const std::vector<std::string>& argv) {
    bool switchesDone = false;
    for (size_t i = 0; i < argv.size(); ++i) {
        const std::string& arg = argv[i];
        if (i == 0) {
            m_program = arg;
            continue;
        }
        if (!switchesDone && arg == "--") {
            switchesDone = true;
            continue;
        }
        if (!switchesDone && arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            auto eq = arg.find('=');
            if (eq == std::string::npos) {
                m_switches[arg.substr(2)] = "";
            } else {
                m_switches[arg.substr(2, eq - 2)] = arg.substr(eq + 1);
            }
            continue;
        }
        m_args.push_back(arg);
    }
}

bool CommandLine::HasSwitch(const std::string& name) const { return m_switches.count(name) > 0; }

std::string CommandLine::GetSwitchValueASCII(const std::string& name) const {
    auto it = m_switches.find(name);
    return it == m_switches.end() ? std::string() : it->second;
}

void CommandLine::AppendSwitch(const std::string& name) { m_switches[name] = ""; }

void CommandLine::AppendSwitchASCII(const std::string& name, const std::string& value) {
    m_switches[name] = value;
}
