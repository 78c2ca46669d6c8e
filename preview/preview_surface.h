#pragma once

namespace whorlgen::preview {}
