#pragma once

// One attempt of a job's run of upload attempts, as the backup run hands it to the dispatch:
// which attempt it is, and what the earlier attempts of the same run left for it.
struct UploadAttempt {
    int number = 1; // 1 for the first attempt of the run
    // An SSH host key question of this run went unanswered (or could not be asked): the later
    // attempts refuse the key without asking again.
    bool hostKeyUnanswered = false;
    // An FTPS or S3 server key nobody confirmed was refused: the run makes no further attempt,
    // which would only be refused the same way.
    bool keyUnconfirmed = false;
};
