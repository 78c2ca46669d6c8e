#pragma once

namespace whorlgen::output {}
