// Runs a program with copy_file_range refused (ENOSYS), as a kernel without it or a sandbox that
// forbids it would, or failing with another error (a disk's EIO): RefuseCopyFileRange [--errno N]
// PROGRAM [ARGUMENTS...]
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    unsigned error = ENOSYS;
    if (argc > 2 && std::strcmp(argv[1], "--errno") == 0) {
        error = static_cast<unsigned>(std::atoi(argv[2]));
        argv += 2;
        argc -= 2;
    }
    if (argc < 2) return 2;
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_copy_file_range, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (error & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof(filter) / sizeof(filter[0])), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        return 125;
    }
    execv(argv[1], argv + 1);
    return 127;
}
