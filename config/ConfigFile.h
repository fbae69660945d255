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

// Savro2.Ini in the folder of the running program.
QString ConfigPath();

// Writes the built-in text of that type and name ("TXTFILE", "INIFILE1": the
// 740-byte default configuration) to path unchanged, replacing any file there.
// The replacement is atomic: a failure leaves a previous file as it was.
void SaveResourceToFile(const QString& type, const QString& name, const QString& path);

// Start-up step: seeds path with the default configuration when no file is
// there (a folder of that name does not count as the file; it makes the
// seeding fail with ECreateError).
void EnsureConfigFile(const QString& path);
