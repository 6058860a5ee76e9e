#include "transfer/Destination.h"
#include "transfer/ftp/FtpDestination.h"
#include "transfer/sftp/SftpDestination.h"

std::unique_ptr<Destination> makeDestination(const DestinationConfig& config) {
    switch (config.protocol) {
    case DestinationConfig::Ftp:
    case DestinationConfig::Ftps:
        return std::make_unique<FtpDestination>(config);
    case DestinationConfig::Sftp:
        return std::make_unique<SftpDestination>(config);
    default:
        return nullptr;
    }
}
