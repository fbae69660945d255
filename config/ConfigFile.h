#pragma once

#include <QString>

#include <stdexcept>
#include <string>

// The default configuration could not be written:
// "Cannot create file "<path>". <system error text>"
class ECreateError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// No built-in text of that type and name: "Resource <name> not found"
class EResNotFound : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Where Savro2.Ini lives for the running program: ConfigPathFor its own
// folder and the install prefix's bin folder this build was made for.
QString ConfigPath();

// A portable copy keeps Savro2.Ini beside itself. The installed program (run
// from installedBinDir, or from a folder it cannot write) keeps it in the
// user's configuration folder (QStandardPaths::AppConfigLocation), which is
// created here when missing; a failure to create it shows up as the seeding's
// ECreateError. Root counts as installed in installedBinDir too, so the
// program never writes into the system's bin folder.
QString ConfigPathFor(const QString& programDir, const QString& installedBinDir);

// True when the program in programDir keeps its settings per user.
bool IsInstalledCopy(const QString& programDir, const QString& installedBinDir);

// The install prefix's bin folder, known at build time.
QString InstalledBinDir();

// Writes the built-in text of that type and name ("TXTFILE", "INIFILE1": the
// 740-byte default configuration) to path unchanged, replacing any file there.
// The replacement is atomic: a failure leaves a previous file as it was.
void SaveResourceToFile(const QString& type, const QString& name, const QString& path);

// Start-up step: seeds path with the default configuration when no file is
// there (a folder of that name does not count as the file; it makes the
// seeding fail with ECreateError).
void EnsureConfigFile(const QString& path);
