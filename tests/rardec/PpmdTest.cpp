// Placeholder until the tests are written.
