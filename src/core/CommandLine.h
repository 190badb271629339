#pragma once

#include <map>
#include <string>
#include <vector>

// The process command line: the program name, its switches ("--name" or "--name=value") and
// its other arguments. Switches can be added at run time; logging reads "v" from here.
class CommandLine {
public:
    // Sets up the process command line once; later calls are ignored. Returns false then.
    static bool Init(int argc, const char* const* argv);
    // The process command line, or null before Init.
    static CommandLine* ForCurrentProcess();
    // Forgets the process command line (tests).
    static void Reset();

    explicit CommandLine(const std::vector<std::string>& argv);

    bool HasSwitch(const std::string& name) const;
    std::string GetSwitchValueASCII(const std::string& name) const;
    void AppendSwitch(const std::string& name);
    void AppendSwitchASCII(const std::string& name, const std::string& value);

    const std::vector<std::string>& GetArgs() const { return m_args; }
    std::string GetProgram() const { return m_program; }

private:
    std::string m_program;
    std::map<std::string, std::string> m_switches;
    std::vector<std::string> m_args;
};
