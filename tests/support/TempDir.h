// A uniquely named temporary folder, removed with everything in it when the object goes.
#pragma once
#include <string>

class TempDir
{
public:
    // Creates "<TMPDIR or /tmp>/<prefix>-XXXXXX". Path() is empty when creation failed.
    explicit TempDir(const std::string& prefix = "dravo-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    bool Valid() const { return !m_path.empty(); }
    // Path of `name` inside the folder (the file itself is not created).
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};
