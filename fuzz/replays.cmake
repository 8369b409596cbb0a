# Part of the main build (included from the top-level CMakeLists.txt when tests are on): every committed
# seed and every input that once made a fuzz target fail runs through the target here, without the fuzzing
# engine, so a fixed failure stays fixed. Failures go to fuzz/regressions/NAME/, a folder that exists only
# once a target has failed.
set(fuzz_dir ${CMAKE_CURRENT_LIST_DIR})

function(dictate_add_fuzz_replay name library)
  add_executable(replay_${name} ${fuzz_dir}/${name}_fuzzer.cpp ${fuzz_dir}/replay_main.cpp)
  target_link_libraries(replay_${name} PRIVATE ${library})
  set(inputs ${fuzz_dir}/corpus/${name})
  if(EXISTS ${fuzz_dir}/regressions/${name})
    list(APPEND inputs ${fuzz_dir}/regressions/${name})
  endif()
  add_test(NAME fuzz_replay_${name} COMMAND replay_${name} ${inputs})
endfunction()

dictate_add_fuzz_replay(extract_text dictate_transcription)
dictate_add_fuzz_replay(server_reply dictate_app)
dictate_add_fuzz_replay(words_events dictate_transcription)
if(DICTATE_BUILD_SERVER)
  dictate_add_fuzz_replay(decode_wav dictate_server_recognition)
  dictate_add_fuzz_replay(handle_request dictate_server_requests)
endif()
