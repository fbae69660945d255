#pragma once

#include "app/Profile.h"
#include "archive/ArchiveExport.h"

#include <QDate>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <optional>

// The archive from the command line, with no window and no display:
//   --import FILE...  results files into the profile's archive;
//   --export --from DATE --to DATE [--sample TEXT] [--device N]
//            [--format csv|csv-ru|jsonl] [--include-invalid] [--output FILE]
//   --verify  the archive against the lab server of the settings
// Messages are Russian, on stderr; the summary on stdout, and the exported
// rows too when no --output is given.
class TArchiveCommand {
public:
    static constexpr int ExitDone = 0;
    static constexpr int ExitFailed = 1;
    static constexpr int ExitBadArguments = 2;
    // --verify: differences were found (and what the server lacked sent
    // again); the server cannot be reached or refuses; this computer's
    // archive cannot be read.
    static constexpr int ExitDiffered = 1;
    static constexpr int ExitNoServer = 3;
    static constexpr int ExitNoArchive = 4;

    // Whether the arguments are for this command rather than the window: any
    // of its options (the others without --import or --export are an error
    // here, not a reason to open the window).
    static bool Wanted(const QStringList& arguments);

    // arguments: without the program's name. --settings has made profile
    // already and is passed over here.
    TArchiveCommand(QStringList arguments, TProfile profile, FILE* out = stdout,
                    FILE* err = stderr);

    // The exit code: ExitDone, ExitFailed (a file refused, the archive or the
    // output failed) or ExitBadArguments; --verify's own as above.
    int Run();

    // Called first thing in main for these runs. Unless TZ is set, glibc
    // reads /etc/localtime's status again for every local time Qt converts,
    // a system call per date of every row; a run is short, so the zone in
    // force at its start serves all of it.
    static void HoldTimeZone();

    // How the command is used, as told after bad arguments and in --help.
    static QString Usage();

    // Where the profile keeps its archive.
    static QString ArchiveFolder(const TProfile& profile);
    // The 32 column titles of the INI at iniPath; the built-in defaults where
    // it has none, or when it does not exist (it is not created).
    static QStringList ColumnTitles(const QString& iniPath);

private:
    enum class TMode { None, Import, Export, Verify };

    // Empty when the arguments are usable; else what is wrong with them.
    QString Parse();
    QString ParseValue(const QString& option, const QString& value);
    int Import();
    int Export();
    int Verify();
    void Print(FILE* to, const QString& text) const;

    QStringList Arguments_;
    TProfile Profile_;
    FILE* Out_ = stdout;
    FILE* Err_ = stderr;

    TMode Mode_ = TMode::None;
    QStringList Files_;
    std::optional<QDate> From_;
    std::optional<QDate> To_;
    QString Sample_;
    std::optional<quint16> Device_;
    std::optional<TExportFormat> Format_;
    bool IncludeInvalid_ = false;
    QString Output_;
    QStringList Seen_; // options given, each once
};
