#pragma once
// Placeholder until the RAR 1.3, 1.5 and 2.0 ciphers are written.
