"""What the Python tests, benchmarks and scripts/demo share: the dictate driver (harness, session), the
virtual microphone, the scripted transcription server, the built dictate-server's process wrapper, and the
fault tests' isolation. CTest and the scripts put tests/ on PYTHONPATH, so everything imports `support.*`."""
