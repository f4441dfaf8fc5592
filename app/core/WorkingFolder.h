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
// and leaves the start folder untouched (<pid>-1 and so on when a living run
// of another process-number space, a container, holds that name). The folder
// is removed when the object goes, after the start folder is made current
// again. Each run holds a lock (flock) on the file ".lock" in its folder for
// as long as it lives. A run that crashed leaves its folder behind; the next
// start removes every folder whose lock no one holds. A process number says
// nothing across process-number spaces, so it decides only for a folder
// without a lock file (of a run that kept none): that goes when no process
// of its number is left, or when it has this run's own number.

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
    int m_lock = -1; // the open lock file, locked while the run lives
};
