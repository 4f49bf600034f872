"""Small value utilities."""
