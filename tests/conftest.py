# Here rather than in pyproject.toml: the wheels' runs use a copy of tests/ alone.
def pytest_configure(config):
    config.addinivalue_line("markers", "forks: forks children, so runs outside the parallel workers")
