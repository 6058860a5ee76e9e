#include "transfer/Destination.h"
#include "transfer/ftp/FtpDestination.h"
#include "transfer/s3/S3Destination.h"
#include "transfer/sftp/SftpDestination.h"

std::unique_ptr<Destination> makeDestination(const DestinationConfig& config) {
    switch (config.protocol) {
    case DestinationConfig::Ftp:
    case DestinationConfig::Ftps:
        return std::make_unique<FtpDestination>(config);
    case DestinationConfig::Sftp:
        return std::make_unique<SftpDestination>(config);
    case DestinationConfig::S3:
        return std::make_unique<S3Destination>(config);
    default:
        return nullptr;
    }
}
