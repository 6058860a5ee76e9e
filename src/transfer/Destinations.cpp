#include "transfer/Destination.h"

#include "transfer/ftp/FtpDestination.h"

std::unique_ptr<Destination> makeDestination(const DestinationConfig& config) {
    switch (config.protocol) {
    case 0: // FTP
    case 1: // FTP with explicit TLS
        return std::make_unique<FtpDestination>(config);
    case 2: // SFTP: std::make_unique<SftpDestination>(config) from transfer/sftp, to come
        return nullptr;
    default:
        return nullptr;
    }
}
