#pragma once

#include <exception>
#include <string>
#include <utility>

#include "common/console.h"
#include "driver/process_exit.h"

namespace script {

/// The file name of the program as started (the last component of argument zero).
std::string program_file_name();

/// Reports a failed wrapped step and ends the run with status 1.
[[noreturn]] void fail_wrapped_step(const std::string& func_name, const std::string& what);

/// The step wrapper: calls `func` with the wrapper's arguments and returns its result; any
/// failure prints its message and the bang line, then ends the process with
/// "[ERROR] failed: <program file name>  <func_name>". A process end requested inside
/// `func` passes through unchanged.
template <class Func>
auto checkFlow(std::string func_name, Func func)
{
    return [func_name = std::move(func_name), func = std::move(func)](auto&&... args) {
        try {
            return func(std::forward<decltype(args)>(args)...);
        } catch (const ProcessExit&) {
            throw;
        } catch (const std::exception& e) {
            fail_wrapped_step(func_name, e.what());
        } catch (...) {
            fail_wrapped_step(func_name, "unknown error");
        }
    };
}

}  // namespace script
