#pragma once

#include <QString>

// FreeTDS reads `.freetds.conf` and `.interfaces` in the home folder of the account (from the
// passwords file, not $HOME) besides the system's /etc/freetds: a server's address and port, its
// encryption, a file to dump every packet (the password with it) into. The package's account has
// the program folder as its home, which SQL Server's account may be allowed to write; so neither
// file is let through unless it is as the account would have made it.
namespace FreeTdsHomeFiles {

// The account's home folder as FreeTDS finds it, with a trailing '/'; empty when there is none.
QString homeFolder();

// Empty when neither file is in `home`, or each is a regular file of this account or root that
// no one else may write; otherwise the message naming the file and why it is not let through.
QString refusal(const QString& home);

} // namespace FreeTdsHomeFiles
