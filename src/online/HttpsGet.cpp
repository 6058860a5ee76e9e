#include "online/HttpsGet.h"

#include "online/TransferState.h"

HttpsResult httpsGet(const HttpsRequest& request) {
    HttpsCall call;
    call.url = request.url;
    call.caFile = request.caFile;
    call.userAgent = request.userAgent;
    call.sink = request.sink;
    call.maxBytes = request.maxBytes;
    call.connectTimeoutS = request.connectTimeoutS;
    call.stallTimeoutS = request.stallTimeoutS;
    call.totalTimeoutS = request.totalTimeoutS;
    if (TransferState* state = request.state) {
        call.progress = [state](qint64 done, qint64 total) {
            state->received = done;
            state->total = total > 0 ? total : -1;
            return !state->cancel;
        };
    }
    HttpsReply reply = httpsCall(call);
    HttpsResult result;
    result.ok = reply.ok;
    result.status = reply.status;
    result.body = std::move(reply.body);
    result.error = std::move(reply.error);
    return result;
}
