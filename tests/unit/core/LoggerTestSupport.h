// A driver instance's global services whose log goes to a temporary file, and the messages
// read back from it.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/IOGlobals.h"

class CLogCapture
{
public:
    CLogCapture()
        : m_globals(TIOPtr<CIOGlobals>::Adopt(CIOGlobals::Create(nullptr, "Driver Test"))),
          m_path(std::filesystem::temp_directory_path() /
                 ("dravo-capture-" + std::to_string(::getpid()) + "-" + FileNamePart() + ".log"))
    {
        std::filesystem::remove(m_path);
        m_globals->Logger()->SetFile(m_path.string().c_str());
    }
    ~CLogCapture()
    {
        m_globals->Logger()->Close();
        std::filesystem::remove(m_path);
    }
    CLogCapture(const CLogCapture&) = delete;
    CLogCapture& operator=(const CLogCapture&) = delete;

    CIOGlobals* Globals() const { return m_globals.Get(); }
    // The log file, for code that opens the log by name itself.
    const std::filesystem::path& Path() const { return m_path; }

    // The texts of the lines of `category` (its name and tab removed), in file order.
    std::vector<std::string> Messages(const std::string& category) const
    {
        std::ifstream in(m_path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        const std::string text = s.str();
        const std::string marker = ") " + category + "\t";
        std::vector<std::string> out;
        for (size_t pos = text.find(marker); pos != std::string::npos; pos = text.find(marker, pos))
        {
            pos += marker.size();
            const size_t end = text.find("\r\n", pos);
            out.push_back(text.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
        }
        return out;
    }

private:
    // Parameterised tests are named "Name/0": keep the log file directly in the temp folder.
    static std::string FileNamePart()
    {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '_');
        return name;
    }

    TIOPtr<CIOGlobals> m_globals;
    std::filesystem::path m_path;
};
