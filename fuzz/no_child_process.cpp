// Linked into every fuzz target: a reader's parsing core never starts a program or a
// shell, whatever its input. These definitions take the place of the C library's, so any
// attempt ends the run as a crash the fuzzer reports with the input that caused it.

#include <spawn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void refuse(const char* what)
{
    std::fprintf(stderr, "a parsing core tried to start a child process (%s)\n", what);
    std::abort();
}

}  // namespace

extern "C" {

int system(const char*)
{
    refuse("system");
}

FILE* popen(const char*, const char*)
{
    refuse("popen");
}

pid_t fork()
{
    refuse("fork");
}

pid_t vfork()
{
    refuse("vfork");
}

int execve(const char*, char* const[], char* const[])
{
    refuse("execve");
}

int execv(const char*, char* const[])
{
    refuse("execv");
}

int execvp(const char*, char* const[])
{
    refuse("execvp");
}

int posix_spawn(pid_t*, const char*, const posix_spawn_file_actions_t*, const posix_spawnattr_t*,
                char* const[], char* const[])
{
    refuse("posix_spawn");
}

int posix_spawnp(pid_t*, const char*, const posix_spawn_file_actions_t*,
                 const posix_spawnattr_t*, char* const[], char* const[])
{
    refuse("posix_spawnp");
}

}  // extern "C"
