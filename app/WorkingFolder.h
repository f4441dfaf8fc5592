#pragma once

// WorkingFolder: the program's own working directory for as long as it lives.
//
// The program keeps its working files ("temp.jpg", "Head.txt", "a.tmp") under
// fixed names in the working directory. Started from a desktop launcher that
// directory is the user's home, where those names may be the user's own
// files or links planted to turn the program's writes against other files.
// So at start the program moves into a folder of its own, mode 0700:
//
//   $XDG_RUNTIME_DIR/corvanet/<pid>, or without a runtime folder
//   ${XDG_CACHE_HOME:-~/.cache}/corvanet/<pid>
//
// and leaves the start folder untouched. The folder is removed when the
// object goes, after the start folder is made current again. A run that
// crashed leaves its folder behind; the next start removes every folder
// whose process is gone, and one with its own process number (a container
// hands out the same numbers again).

#include <QString>

class WorkingFolder
{
public:
    WorkingFolder();
    ~WorkingFolder();
    WorkingFolder(const WorkingFolder&) = delete;
    WorkingFolder& operator=(const WorkingFolder&) = delete;

    // False when no private folder could be made; the working directory is
    // then unchanged and errorString() says why.
    bool isValid() const { return !m_path.isEmpty(); }
    QString path() const { return m_path; }
    QString errorString() const { return m_error; }

    // The folder that holds one folder per run.
    static QString programFolder();

private:
    bool create();
    static void removeStaleFolders(const QString& parent);

    QString m_startFolder;
    QString m_path;
    QString m_error;
};
