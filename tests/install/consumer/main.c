/* Another program's view of the engine: the installed header and library only. */
#include <quarn/quarn.h>

#include <stdio.h>

int main(void) {
    int32_t speed = -1;
    int32_t remain = -1;
    int64_t received = -1;
    int64_t onDisk = -1;
    const int32_t state = getDownloadState(&speed, &remain, &received, &onDisk);
    if (state != QUARN_STATE_PREPARING || speed != 0 || remain != 0 || received != 0 ||
        onDisk != 0) {
        fprintf(stderr,
                "before any download: state %d speed %d remain %d received %lld on disk %lld\n",
                (int)state, (int)speed, (int)remain, (long long)received, (long long)onDisk);
        return 1;
    }
    if (stopDownload() != 0) {
        fprintf(stderr, "stopDownload with nothing running did not return 0\n");
        return 1;
    }
    printf("%s %d\n", QUARN_VERSION, (int)getDownloadState(NULL, NULL, NULL, NULL));
    return 0;
}
